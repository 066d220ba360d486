// Helpers shared by the SHA-1 tests: whether this machine runs a block
// function, the pseudo-random test stream that generate_test_vectors.py also
// produces, and one-call hashing through a hasher bound to a chosen block
// function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "sha1/block_functions.h"
#include "sha1/block_selection.h"
#include "sha1/sha1.h"

struct TestVector {
  uint32_t length;
  const char* digest;
};

inline void PrintTo(const Sha1BlockVariant& variant, std::ostream* out) {
  *out << variant.name;
}

// What this machine's processor and operating system allow, as the product
// derives it.
inline uint32_t UsableFeaturesOfThisMachine() {
  SelectSha1BlockFunction();
  return UsableCpuFeatureFlags;
}

inline bool MachineRuns(const Sha1BlockVariant& variant) {
  return Allows(UsableFeaturesOfThisMachine(), variant);
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
