// One typed suite that runs every block function through the same checks;
// each function takes part through a traits struct. A function that this
// processor or operating system cannot run is skipped, with a message.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sha1/sha1.h"
#include "sha1/sha1_test_util.h"
#include "sha1/sha1_vector_blocks.h"

namespace {

template <int kIndex>
struct Variant {
  static const Sha1BlockVariant& Get() { return kSha1BlockVariants[kIndex]; }
};

using X86 = Variant<0>;
using Sse2 = Variant<1>;
using Ssse3 = Variant<2>;
using Avx = Variant<3>;
using Avx2 = Variant<4>;

struct VariantNames {
  template <typename T>
  static std::string GetName(int) {
    return T::Get().name;
  }
};

const uint32_t kRoundConstants[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

uint32_t RotateLeft(uint32_t value, int count) {
  return (value << count) | (value >> (32 - count));
}

// W0..W79 of a block, computed the plain way.
std::vector<uint32_t> MessageSchedule(const uint8_t* block) {
  std::vector<uint32_t> w(80);
  for (size_t t = 0; t < 16; ++t) {
    w[t] = uint32_t{block[4 * t]} << 24 | uint32_t{block[4 * t + 1]} << 16 | uint32_t{block[4 * t + 2]} << 8 |
           uint32_t{block[4 * t + 3]};
  }
  for (size_t t = 16; t < 80; ++t) w[t] = RotateLeft(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  return w;
}

// A working area on its 32-byte boundary, filled with random bytes.
struct RandomState {
  explicit RandomState(std::mt19937& random) {
    std::uniform_int_distribution<uint32_t> word;
    for (uint32_t& value : state.schedule) value = word(random);
    for (uint32_t& value : state.hash) value = word(random);
    state.byteCount[0] = word(random);
    state.byteCount[1] = word(random);
    state.fill = word(random) % 64;
  }
  alignas(32) Sha1State state;
};

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t length) {
  std::vector<uint8_t> bytes(length);
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint8_t& value : bytes) value = static_cast<uint8_t>(byte(random));
  return bytes;
}

template <typename T>
class Sha1BlockFunctionTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!MachineRuns(T::Get())) GTEST_SKIP() << "this processor or operating system cannot run " << T::Get().name;
  }

  // Compresses `block` from a copy of `state` with the function under test
  // and with the reference; returns both resulting states.
  static std::pair<Sha1State, Sha1State> BothOn(const Sha1State& state, const uint8_t* block) {
    alignas(32) Sha1State tested = state;
    alignas(32) Sha1State reference = state;
    tested.block = block;
    reference.block = block;
    T::Get().function(&tested);
    Sha1BlockX86(&reference);
    return {tested, reference};
  }
};

using AllVariants = testing::Types<X86, Sse2, Ssse3, Avx, Avx2>;
TYPED_TEST_SUITE(Sha1BlockFunctionTest, AllVariants, VariantNames);

TYPED_TEST(Sha1BlockFunctionTest, RandomStatesAndBlocksMatchTheReference) {
  std::mt19937 random(1);
  for (int i = 0; i < 2000; ++i) {
    RandomState start(random);
    std::vector<uint8_t> block = RandomBytes(random, 64);
    auto [tested, reference] = this->BothOn(start.state, block.data());
    ASSERT_EQ(0, memcmp(reference.hash, tested.hash, sizeof(tested.hash))) << "case " << i;
  }
}

TYPED_TEST(Sha1BlockFunctionTest, ExtremeBlocksMatchTheReference) {
  std::mt19937 random(2);
  for (int fill : {0x00, 0xFF, 0x80, 0x01}) {
    RandomState start(random);
    std::vector<uint8_t> block(64, static_cast<uint8_t>(fill));
    auto [tested, reference] = this->BothOn(start.state, block.data());
    EXPECT_EQ(0, memcmp(reference.hash, tested.hash, sizeof(tested.hash))) << "all bytes " << fill;
  }
}

TYPED_TEST(Sha1BlockFunctionTest, ScheduleHoldsTheWordsItPromises) {
  std::mt19937 random(3);
  for (int i = 0; i < 100; ++i) {
    RandomState start(random);
    std::vector<uint8_t> block = RandomBytes(random, 64);
    start.state.block = block.data();
    TypeParam::Get().function(&start.state);
    std::vector<uint32_t> w = MessageSchedule(block.data());
    for (size_t t = 0; t < 80; ++t) {
      uint32_t expected = w[t];
      // The vector variants leave each word with its round constant added.
      if (TypeParam::Get().function != Sha1BlockX86) expected += kRoundConstants[t / 20];
      ASSERT_EQ(expected, start.state.schedule[t]) << "word " << t;
    }
  }
}

TYPED_TEST(Sha1BlockFunctionTest, BlockInTheStatesOwnBuffer) {
  std::mt19937 random(4);
  for (int i = 0; i < 200; ++i) {
    RandomState inBuffer(random);
    std::vector<uint8_t> block = RandomBytes(random, 64);
    alignas(32) Sha1State elsewhere = inBuffer.state;
    memcpy(inBuffer.state.schedule, block.data(), 64);
    inBuffer.state.block = reinterpret_cast<const uint8_t*>(inBuffer.state.schedule);
    elsewhere.block = block.data();
    TypeParam::Get().function(&inBuffer.state);
    Sha1BlockX86(&elsewhere);
    ASSERT_EQ(0, memcmp(elsewhere.hash, inBuffer.state.hash, sizeof(elsewhere.hash))) << "case " << i;
  }
}

TYPED_TEST(Sha1BlockFunctionTest, BlockAtOddAddresses) {
  std::mt19937 random(5);
  RandomState start(random);
  std::vector<uint8_t> block = RandomBytes(random, 64);
  alignas(64) uint8_t aligned[64];
  memcpy(aligned, block.data(), 64);
  alignas(32) Sha1State alignedResult = start.state;
  alignedResult.block = aligned;
  TypeParam::Get().function(&alignedResult);

  alignas(64) uint8_t buffer[64 + 64];
  for (int offset = 1; offset < 64; offset += 2) {
    memcpy(buffer + offset, block.data(), 64);
    alignas(32) Sha1State odd = start.state;
    odd.block = buffer + offset;
    TypeParam::Get().function(&odd);
    EXPECT_EQ(0, memcmp(alignedResult.hash, odd.hash, sizeof(odd.hash))) << "offset " << offset;
  }
}

TYPED_TEST(Sha1BlockFunctionTest, LeavesBlockCountFillAndInputUnchanged) {
  std::mt19937 random(6);
  RandomState start(random);
  std::vector<uint8_t> block = RandomBytes(random, 64);
  const std::vector<uint8_t> original = block;
  start.state.block = block.data();
  const Sha1State before = start.state;
  TypeParam::Get().function(&start.state);
  EXPECT_EQ(before.block, start.state.block);
  EXPECT_EQ(before.byteCount[0], start.state.byteCount[0]);
  EXPECT_EQ(before.byteCount[1], start.state.byteCount[1]);
  EXPECT_EQ(before.fill, start.state.fill);
  EXPECT_EQ(original, block);
  EXPECT_NE(0, memcmp(before.hash, start.state.hash, sizeof(before.hash)));
}

TYPED_TEST(Sha1BlockFunctionTest, WholeMessagesGiveTheFipsDigests) {
  Sha1BlockFunction function = TypeParam::Get().function;
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", Sha1Hex(function, std::string()));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Sha1Hex(function, std::string("abc")));
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
            Sha1Hex(function, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("a49b2446a02c645bf419f995b67091253a04a259",
            Sha1Hex(function,
                    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                    "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"));
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", Sha1Hex(function, std::string(1000000, 'a')));
}

// The constant block that the vector variants read.
TEST(Sha1ConstantsTest, RowsAndMask) {
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(&CONST_SH) % 32);
  for (int row = 0; row < 4; ++row) {
    for (int lane = 0; lane < 8; ++lane) EXPECT_EQ(kRoundConstants[row], CONST_SH.roundConstants[row][lane]);
  }
  for (int i = 0; i < 32; ++i) EXPECT_EQ(i / 4 * 4 % 16 + 3 - i % 4, CONST_SH.byteSwapMask[i]) << i;
}

}  // namespace
