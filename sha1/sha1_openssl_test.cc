// Every block function against OpenSSL's libcrypto, linked into the Linux test
// binary as an independent implementation.
//
// The low-level SHA1_* interface is used for its context: its bit counter can
// be preset, which no byte-stream interface allows.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sha1/sha1_test_util.h"

namespace {

std::string OpenSslHex(const uint8_t* data, size_t length) {
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(data, length, digest);
  return NarrowHex(digest);
}

class Sha1OpenSslTest : public testing::TestWithParam<Sha1BlockVariant> {
 protected:
  void SetUp() override {
    if (!MachineRuns(GetParam())) GTEST_SKIP() << "this processor or operating system cannot run " << GetParam().name;
  }
};

TEST_P(Sha1OpenSslTest, RandomLengthsAndContents) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> data(70000);
  for (uint8_t& value : data) value = static_cast<uint8_t>(byte(random));

  // Short lengths often, long ones now and then.
  std::uniform_int_distribution<uint32_t> shortLength(0, 300);
  std::uniform_int_distribution<uint32_t> longLength(0, 70000);
  std::uniform_int_distribution<uint32_t> start(0, 63);
  int mismatches = 0;
  for (int i = 0; i < 3000; ++i) {
    uint32_t length = i % 4 == 0 ? longLength(random) : shortLength(random);
    uint32_t offset = std::min(start(random), 70000 - length);
    const uint8_t* message = data.data() + offset;
    std::string expected = OpenSslHex(message, length);
    if (Sha1Hex(GetParam().function, message, length) != expected && ++mismatches <= 5) {
      ADD_FAILURE() << "length " << length << " at offset " << offset;
    }
  }
  EXPECT_EQ(0, mismatches);
}

// A message whose byte count passes 2^32 during an Update: both hashers start
// from the initial hash value with their counters preset to 2^32 - 64 bytes.
TEST_P(Sha1OpenSslTest, ByteCountCarry) {
  std::vector<uint8_t> data = TestStream(67);

  SHA_CTX context;
  SHA1_Init(&context);
  context.Nl = 0xFFFFFE00;  // bits: (2^32 - 64) * 8 = 7 * 2^32 + 0xFFFFFE00
  context.Nh = 7;
  SHA1_Update(&context, data.data(), data.size());
  uint8_t expected[SHA_DIGEST_LENGTH];
  SHA1_Final(expected, &context);

  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.blockFunction = GetParam().function;
  hasher.Reset();
  hasher.state->byteCount[0] = 0xFFFFFFC0;
  hasher.Update(data.data(), 67);
  uint8_t digest[20];
  hasher.Final(digest);
  EXPECT_EQ(NarrowHex(expected), NarrowHex(digest));
}

INSTANTIATE_TEST_SUITE_P(AllBlockFunctions, Sha1OpenSslTest, testing::ValuesIn(kSha1BlockVariants),
                         [](const testing::TestParamInfo<Sha1BlockVariant>& variant) {
                           return std::string(variant.param.name);
                         });

}  // namespace
