#include "sha1/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "sha1/block_selection.h"
#include "sha1/sha1_test_util.h"

namespace {

// What one call of the block function saw.
struct BlockCall {
  const uint8_t* block;
  bool fromBuffer;
  std::array<uint8_t, 64> bytes;
};

std::vector<BlockCall> recordedCalls;

// Records each call, then compresses with the reference.
void RecordingBlock(Sha1State* state) {
  BlockCall call;
  call.block = state->block;
  call.fromBuffer = state->block == reinterpret_cast<const uint8_t*>(state->schedule);
  memcpy(call.bytes.data(), state->block, 64);
  recordedCalls.push_back(call);
  Sha1BlockX86(state);
}

// A hasher in the state the callers use: zero-filled, Init, Reset; bound to
// RecordingBlock.
struct RecordingHasher {
  RecordingHasher() {
    recordedCalls.clear();
    hasher.Init();
    hasher.blockFunction = RecordingBlock;
    hasher.Reset();
  }
  std::string Final() {
    uint8_t digest[20];
    hasher.Final(digest);
    return NarrowHex(digest);
  }
  Sha1Hasher hasher = {};
};

std::string DefaultSha1Hex(const void* data, uint32_t length) {
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.Reset();
  hasher.Update(data, length);
  uint8_t digest[20];
  hasher.Final(digest);
  return NarrowHex(digest);
}

std::string DefaultSha1Hex(const std::string& text) {
  return DefaultSha1Hex(text.data(), static_cast<uint32_t>(text.size()));
}

const char kAbc[] = "abc";
const char k448Bits[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const char k896Bits[] =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
    "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";

TEST(Sha1HasherTest, FipsExamples) {
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", DefaultSha1Hex(kAbc));
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1", DefaultSha1Hex(k448Bits));
  EXPECT_EQ("a49b2446a02c645bf419f995b67091253a04a259", DefaultSha1Hex(k896Bits));
}

TEST(Sha1HasherTest, OneMillionAs) {
  std::string million(1000000, 'a');
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", DefaultSha1Hex(million));

  // The same million bytes in uneven pieces.
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.Reset();
  uint32_t done = 0;
  for (uint32_t piece = 1; done < million.size(); piece = piece * 7 % 1000 + 1) {
    uint32_t length = std::min<uint32_t>(piece, 1000000 - done);
    hasher.Update(million.data() + done, length);
    done += length;
  }
  uint8_t digest[20];
  hasher.Final(digest);
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", NarrowHex(digest));
}

TEST(Sha1HasherTest, EmptyMessage) {
  RecordingHasher empty;
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", empty.Final());
  ASSERT_EQ(1u, recordedCalls.size());
  std::array<uint8_t, 64> padding = {0x80};
  EXPECT_EQ(padding, recordedCalls[0].bytes);

  RecordingHasher emptyUpdate;
  emptyUpdate.hasher.Update(nullptr, 0);
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", emptyUpdate.Final());
}

// Lengths around the places where Final needs one block or two.
TEST(Sha1HasherTest, BoundaryLengths) {
  struct Case {
    uint32_t length;
    size_t blockCalls;
  };
  const Case cases[] = {{0, 1}, {55, 1}, {56, 2}, {63, 2}, {64, 2}, {65, 2}, {119, 2}, {120, 3}};
  std::vector<uint8_t> data = TestStream(120);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    RecordingHasher recording;
    recording.hasher.Update(data.data(), c.length);
    EXPECT_EQ(ExpectedTestStreamDigest(c.length), recording.Final());
    EXPECT_EQ(c.blockCalls, recordedCalls.size());
  }
}

TEST(Sha1HasherTest, FiftyFiveBytesPutTheLengthRightBehindTheMarker) {
  std::vector<uint8_t> data = TestStream(55);
  RecordingHasher recording;
  recording.hasher.Update(data.data(), 55);
  recording.Final();
  ASSERT_EQ(1u, recordedCalls.size());
  const std::array<uint8_t, 64>& block = recordedCalls[0].bytes;
  EXPECT_EQ(0, memcmp(block.data(), data.data(), 55));
  EXPECT_EQ(0x80, block[55]);
  const uint8_t length[8] = {0, 0, 0, 0, 0, 0, 0x01, 0xB8};  // 440 bits
  EXPECT_EQ(0, memcmp(block.data() + 56, length, 8));
}

TEST(Sha1HasherTest, FiftySixAndSixtyThreeBytesNeedASecondBlock) {
  for (uint32_t length : {56u, 63u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> data = TestStream(length);
    RecordingHasher recording;
    recording.hasher.Update(data.data(), length);
    recording.Final();
    ASSERT_EQ(2u, recordedCalls.size());
    EXPECT_EQ(0, memcmp(recordedCalls[0].bytes.data(), data.data(), length));
    EXPECT_EQ(0x80, recordedCalls[0].bytes[length]);
    for (uint32_t i = length + 1; i < 64; ++i) EXPECT_EQ(0, recordedCalls[0].bytes[i]) << i;
    uint64_t bits = uint64_t{length} * 8;
    std::array<uint8_t, 64> second = {};
    second[62] = static_cast<uint8_t>(bits >> 8);
    second[63] = static_cast<uint8_t>(bits);
    EXPECT_EQ(second, recordedCalls[1].bytes);
  }
}

TEST(Sha1HasherTest, WholeBlockIsCompressedWhereItLies) {
  std::vector<uint8_t> data = TestStream(64);
  RecordingHasher recording;
  recording.hasher.Update(data.data(), 64);
  ASSERT_EQ(1u, recordedCalls.size());
  EXPECT_EQ(data.data(), recordedCalls[0].block);
  EXPECT_EQ(0u, recording.hasher.state->fill);

  EXPECT_EQ(ExpectedTestStreamDigest(64), recording.Final());
  ASSERT_EQ(2u, recordedCalls.size());
  EXPECT_TRUE(recordedCalls[1].fromBuffer);
  std::array<uint8_t, 64> padding = {0x80};
  padding[62] = 0x02;  // 512 bits
  EXPECT_EQ(padding, recordedCalls[1].bytes);
}

TEST(Sha1HasherTest, SixtyFiveBytesBufferOne) {
  std::vector<uint8_t> data = TestStream(65);
  RecordingHasher recording;
  recording.hasher.Update(data.data(), 65);
  ASSERT_EQ(1u, recordedCalls.size());
  EXPECT_EQ(data.data(), recordedCalls[0].block);
  EXPECT_EQ(1u, recording.hasher.state->fill);
  EXPECT_EQ(data[64], reinterpret_cast<uint8_t*>(recording.hasher.state->schedule)[0]);
  EXPECT_EQ(ExpectedTestStreamDigest(65), recording.Final());
  EXPECT_EQ(2u, recordedCalls.size());
}

TEST(Sha1HasherTest, UpdateShorterThanTheRoomOnlyAppends) {
  std::vector<uint8_t> data = TestStream(30);
  RecordingHasher recording;
  recording.hasher.Update(data.data(), 10);
  recording.hasher.Update(data.data() + 10, 20);
  EXPECT_TRUE(recordedCalls.empty());
  EXPECT_EQ(30u, recording.hasher.state->fill);
  EXPECT_EQ(30u, recording.hasher.state->byteCount[0]);
  EXPECT_EQ(0, memcmp(recording.hasher.state->schedule, data.data(), 30));
}

TEST(Sha1HasherTest, UpdateThatCompletesTheBufferCompressesIt) {
  std::vector<uint8_t> data = TestStream(64);
  RecordingHasher recording;
  recording.hasher.Update(data.data(), 10);
  recording.hasher.Update(data.data() + 10, 54);
  ASSERT_EQ(1u, recordedCalls.size());
  EXPECT_TRUE(recordedCalls[0].fromBuffer);
  EXPECT_EQ(0, memcmp(recordedCalls[0].bytes.data(), data.data(), 64));
  EXPECT_EQ(0u, recording.hasher.state->fill);
  EXPECT_EQ(ExpectedTestStreamDigest(64), recording.Final());
}

TEST(Sha1HasherTest, EmptyUpdateChangesNothing) {
  std::vector<uint8_t> data = TestStream(70);
  RecordingHasher recording;
  recording.hasher.Update(data.data(), 70);
  Sha1State before = *recording.hasher.state;
  size_t calls = recordedCalls.size();
  recording.hasher.Update(data.data(), 0);
  recording.hasher.Update(nullptr, 0);
  EXPECT_EQ(calls, recordedCalls.size());
  EXPECT_EQ(0, memcmp(&before, recording.hasher.state, sizeof(Sha1State)));
}

TEST(Sha1HasherTest, ExampleSplitMatchesOneUpdate) {
  std::vector<uint8_t> data = TestStream(200);
  const uint8_t* p = data.data();
  std::string split = Sha1HexOfPieces(Sha1BlockX86, {{p, 1}, {p + 1, 62}, {p + 63, 1}, {p + 64, 64}, {p + 128, 72}});
  EXPECT_EQ(ExpectedTestStreamDigest(200), split);
}

TEST(Sha1HasherTest, EveryTwoWaySplit) {
  const uint32_t length = 200;
  std::vector<uint8_t> data = TestStream(length);
  const std::string expected = ExpectedTestStreamDigest(length);
  for (uint32_t cut = 0; cut <= length; ++cut) {
    EXPECT_EQ(expected,
              Sha1HexOfPieces(SelectSha1BlockFunction(), {{data.data(), cut}, {data.data() + cut, length - cut}}))
        << "cut at " << cut;
  }
}

TEST(Sha1HasherTest, EveryThreeWaySplit) {
  const uint32_t length = 140;
  std::vector<uint8_t> data = TestStream(length);
  const std::string expected = ExpectedTestStreamDigest(length);
  int mismatches = 0;
  for (uint32_t first = 0; first <= length; ++first) {
    for (uint32_t second = first; second <= length; ++second) {
      std::string digest = Sha1HexOfPieces(
          SelectSha1BlockFunction(),
          {{data.data(), first}, {data.data() + first, second - first}, {data.data() + second, length - second}});
      if (digest != expected && ++mismatches <= 5) ADD_FAILURE() << "cuts at " << first << " and " << second;
    }
  }
  EXPECT_EQ(0, mismatches);
}

TEST(Sha1HasherTest, ByteAtATime) {
  const uint32_t length = 300;
  std::vector<uint8_t> data = TestStream(length);
  std::vector<std::pair<const void*, uint32_t>> pieces;
  for (uint32_t i = 0; i < length; ++i) pieces.push_back({data.data() + i, 1});
  EXPECT_EQ(ExpectedTestStreamDigest(length), Sha1HexOfPieces(SelectSha1BlockFunction(), pieces));
}

TEST(Sha1HasherTest, UnalignedInput) {
  const uint32_t length = 1000;
  std::vector<uint8_t> data = TestStream(length);
  std::vector<uint8_t> shifted(length + 64);
  for (uint32_t offset = 0; offset < 64; ++offset) {
    memcpy(shifted.data() + offset, data.data(), length);
    for (const Sha1BlockVariant& variant : kSha1BlockVariants) {
      if (!MachineRuns(variant)) continue;
      EXPECT_EQ(ExpectedTestStreamDigest(length), Sha1Hex(variant.function, shifted.data() + offset, length))
          << variant.name << " at offset " << offset;
    }
  }
}

// The low word of byteCount wraps into the high word, and the bit length in
// the final block carries the low word's top three bits into its high half.
TEST(Sha1HasherTest, ByteCountCarry) {
  std::vector<uint8_t> data = TestStream(67);
  RecordingHasher recording;
  Sha1State* state = recording.hasher.state;
  state->byteCount[0] = 0xFFFFFFC0;  // 2^32 - 64
  recording.hasher.Update(data.data(), 67);
  EXPECT_EQ(3u, state->byteCount[0]);
  EXPECT_EQ(1u, state->byteCount[1]);
  EXPECT_EQ(3u, state->fill);
  recording.Final();
  ASSERT_EQ(2u, recordedCalls.size());
  // (2^32 + 3) * 8 = 2^35 + 24: high word 8, low word 24.
  const uint8_t length[8] = {0, 0, 0, 8, 0, 0, 0, 24};
  EXPECT_EQ(0, memcmp(recordedCalls[1].bytes.data() + 56, length, 8));
}

TEST(Sha1HasherTest, ByteCountWrapsOnASingleByte) {
  RecordingHasher recording;
  Sha1State* state = recording.hasher.state;
  state->byteCount[0] = 0xFFFFFFFF;
  state->byteCount[1] = 5;
  state->fill = 63;
  uint8_t byte = 0x42;
  recording.hasher.Update(&byte, 1);
  EXPECT_EQ(0u, state->byteCount[0]);
  EXPECT_EQ(6u, state->byteCount[1]);
  EXPECT_EQ(0u, state->fill);
  EXPECT_EQ(1u, recordedCalls.size());
}

TEST(Sha1HasherTest, BitLengthTakesTheLowWordsTopBits) {
  RecordingHasher recording;
  Sha1State* state = recording.hasher.state;
  state->byteCount[0] = 0xA0000000;
  state->byteCount[1] = 0x10000001;
  recording.Final();
  ASSERT_EQ(1u, recordedCalls.size());
  // High word (0x10000001 << 3) | 0b101, low word 0.
  const uint8_t length[8] = {0x80, 0, 0, 0x0D, 0, 0, 0, 0};
  EXPECT_EQ(0, memcmp(recordedCalls[0].bytes.data() + 56, length, 8));
}

TEST(Sha1HasherTest, InitPlacesTheStateOnA32ByteBoundaryInsideStorage) {
  alignas(64) unsigned char arena[sizeof(Sha1Hasher) + 64];
  for (size_t offset = 0; offset < 64; offset += alignof(Sha1Hasher)) {
    SCOPED_TRACE(offset);
    Sha1Hasher* hasher = new (arena + offset) Sha1Hasher();
    hasher->Init();
    uintptr_t state = reinterpret_cast<uintptr_t>(hasher->state);
    uintptr_t storage = reinterpret_cast<uintptr_t>(hasher->storage);
    EXPECT_EQ(0u, state % 32);
    EXPECT_GE(state, storage);
    EXPECT_LT(state - storage, 32u);
    EXPECT_LE(state + sizeof(Sha1State), storage + sizeof(hasher->storage));
    hasher->~Sha1Hasher();
  }
}

TEST(Sha1HasherTest, InitWritesNothingIntoTheWorkingArea) {
  Sha1Hasher hasher = {};
  memset(hasher.storage, 0x5A, sizeof(hasher.storage));
  hasher.Init();
  for (size_t i = 0; i < sizeof(hasher.storage); ++i) ASSERT_EQ(0x5A, hasher.storage[i]) << i;
  EXPECT_EQ(SelectSha1BlockFunction(), hasher.blockFunction);
}

TEST(Sha1HasherTest, ResetWritesOnlyHashCountAndFill) {
  Sha1Hasher hasher = {};
  hasher.Init();
  memset(hasher.storage, 0x5A, sizeof(hasher.storage));
  hasher.Reset();
  Sha1State* state = hasher.state;
  const uint32_t initial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  EXPECT_EQ(0, memcmp(initial, state->hash, sizeof(initial)));
  EXPECT_EQ(0u, state->byteCount[0]);
  EXPECT_EQ(0u, state->byteCount[1]);
  EXPECT_EQ(0u, state->fill);
  std::vector<uint8_t> untouched(sizeof(state->schedule) + sizeof(state->block), 0x5A);
  EXPECT_EQ(0, memcmp(untouched.data(), state->schedule, sizeof(state->schedule)));
  EXPECT_EQ(0, memcmp(untouched.data(), &state->block, sizeof(state->block)));
}

TEST(Sha1HasherTest, SameObjectHashesTwoMessages) {
  Sha1Hasher hasher = {};
  uint8_t digest[20];
  std::vector<uint8_t> first = TestStream(1000);
  hasher.Init();
  hasher.Reset();
  hasher.Update(first.data(), 1000);
  hasher.Final(digest);
  EXPECT_EQ(ExpectedTestStreamDigest(1000), NarrowHex(digest));

  hasher = {};
  hasher.Init();
  hasher.Reset();
  hasher.Update(kAbc, 3);
  hasher.Final(digest);
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", NarrowHex(digest));
}

TEST(DigestToHexTest, Digits) {
  uint8_t digest[20] = {};
  WideChar text[42];
  text[41] = WIDE('#');
  DigestToHex(digest, text);
  EXPECT_EQ(WideString(40, WIDE('0')), WideString(text, 40));
  EXPECT_EQ(0, text[40]);
  EXPECT_EQ(WIDE('#'), text[41]);

  digest[0] = 0x0F;
  digest[1] = 0xAB;
  digest[19] = 0x90;
  DigestToHex(digest, text);
  WideString expected = WIDE("0fab") + WideString(34, WIDE('0')) + WIDE("90");
  EXPECT_EQ(expected, WideString(text, 40));
  EXPECT_EQ(0, text[40]);

  for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(0x10 * (i % 16) + 15 - i % 16);
  DigestToHex(digest, text);
  EXPECT_EQ(WideString(WIDE("0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c")), WideString(text, 40));
}

}  // namespace
