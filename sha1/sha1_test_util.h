// Helpers shared by the SHA-1 tests: the five block functions as test
// subjects, the pseudo-random test stream that generate_test_vectors.py also
// produces, and one-call hashing through a hasher bound to a chosen block
// function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sha1/cpu_features.h"
#include "sha1/sha1.h"
#include "sha1/sha1_vector_blocks.h"

struct TestVector {
  uint32_t length;
  const char* digest;
};

// One block function and what the processor must offer to run it.
struct BlockVariant {
  const char* name;
  Sha1BlockFunction function;
  // Bits of UsableCpuFeatureFlags that must all be set.
  uint32_t requiredFeatures;
  // Whether the function leaves Wt + K(t div 20) in the schedule.
  bool preAddsConstants;
};

inline void PrintTo(const BlockVariant& variant, std::ostream* out) {
  *out << variant.name;
}

// Sha1BlockSsse3 and the AVX variants also use LDDQU, which came with SSE3.
inline constexpr BlockVariant kBlockVariants[] = {
    {"Sha1BlockX86", Sha1BlockX86, 0, false},
    {"Sha1BlockSse2", Sha1BlockSse2, kCpuSse2, true},
    {"Sha1BlockSsse3", Sha1BlockSsse3, kCpuSse2 | kCpuSse3 | kCpuSsse3, true},
    {"Sha1BlockAvx", Sha1BlockAvx, kCpuSse2 | kCpuSse3 | kCpuSsse3 | kCpuAvx, true},
    {"Sha1BlockAvx2", Sha1BlockAvx2, kCpuSse2 | kCpuSse3 | kCpuSsse3 | kCpuAvx | kCpuAvx2, true},
};

// What this machine's processor and operating system allow, as the product
// derives it.
inline uint32_t UsableFeaturesOfThisMachine() {
  SelectSha1BlockFunction();
  return UsableCpuFeatureFlags;
}

inline bool MachineRuns(const BlockVariant& variant) {
  return (UsableFeaturesOfThisMachine() & variant.requiredFeatures) == variant.requiredFeatures;
}

// The first `length` bytes of the test stream: a 32-bit linear congruential
// generator, top byte of each state (as in generate_test_vectors.py).
inline std::vector<uint8_t> TestStream(size_t length) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = 0x2545F491;
  for (size_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

inline std::string NarrowHex(const uint8_t* digest) {
  WideChar text[41];
  DigestToHex(digest, text);
  std::string narrow;
  for (int i = 0; i < 40; ++i) narrow += static_cast<char>(text[i]);
  return narrow;
}

// Digest text of `pieces` hashed in order by one hasher whose block function
// is `function`, one Update per piece.
inline std::string Sha1HexOfPieces(Sha1BlockFunction function,
                                   const std::vector<std::pair<const void*, uint32_t>>& pieces) {
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.blockFunction = function;
  hasher.Reset();
  for (const auto& [data, length] : pieces) hasher.Update(data, length);
  uint8_t digest[20];
  hasher.Final(digest);
  return NarrowHex(digest);
}

inline std::string Sha1Hex(Sha1BlockFunction function, const void* data, size_t length) {
  return Sha1HexOfPieces(function, {{data, static_cast<uint32_t>(length)}});
}

inline std::string Sha1Hex(Sha1BlockFunction function, const std::string& text) {
  return Sha1Hex(function, text.data(), text.size());
}

// The digest text of the first `length` bytes of the test stream, as Python's
// hashlib computed it at build time; null for a length without a vector.
const char* ExpectedTestStreamDigest(uint32_t length);
