// Every block function against digests that Python's hashlib computed at
// build time for a few thousand lengths of the test stream.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "sha1/sha1_test_util.h"

namespace {
#include "sha1/sha1_test_vectors.inc"
}  // namespace

const char* ExpectedTestStreamDigest(uint32_t length) {
  for (const TestVector& vector : kTestVectors) {
    if (vector.length == length) return vector.digest;
  }
  return nullptr;
}

namespace {

class Sha1VectorsTest : public testing::TestWithParam<Sha1BlockVariant> {
 protected:
  void SetUp() override {
    if (!MachineRuns(GetParam())) GTEST_SKIP() << "this processor or operating system cannot run " << GetParam().name;
  }
};

TEST_P(Sha1VectorsTest, AllLengthsInOneUpdate) {
  std::vector<uint8_t> stream = TestStream(kLongestTestVector);
  int mismatches = 0;
  for (const TestVector& vector : kTestVectors) {
    std::string digest = Sha1Hex(GetParam().function, stream.data(), vector.length);
    if (digest != vector.digest && ++mismatches <= 5) ADD_FAILURE() << "length " << vector.length << ": " << digest;
  }
  EXPECT_EQ(0, mismatches);
  EXPECT_GT(std::size(kTestVectors), 3000u);
}

// The same messages from an odd address, split at an odd point.
TEST_P(Sha1VectorsTest, AllLengthsFromAnOddAddressInTwoPieces) {
  std::vector<uint8_t> stream = TestStream(kLongestTestVector);
  std::vector<uint8_t> shifted(kLongestTestVector + 1);
  memcpy(shifted.data() + 1, stream.data(), kLongestTestVector);
  const uint8_t* data = shifted.data() + 1;
  int mismatches = 0;
  for (const TestVector& vector : kTestVectors) {
    uint32_t cut = vector.length / 3 | 1;
    if (cut > vector.length) cut = vector.length;
    std::string digest = Sha1HexOfPieces(GetParam().function, {{data, cut}, {data + cut, vector.length - cut}});
    if (digest != vector.digest && ++mismatches <= 5) ADD_FAILURE() << "length " << vector.length << ": " << digest;
  }
  EXPECT_EQ(0, mismatches);
}

INSTANTIATE_TEST_SUITE_P(AllBlockFunctions, Sha1VectorsTest, testing::ValuesIn(kSha1BlockVariants),
                         [](const testing::TestParamInfo<Sha1BlockVariant>& variant) {
                           return std::string(variant.param.name);
                         });

}  // namespace
