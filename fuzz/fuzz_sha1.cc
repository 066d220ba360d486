// The SHA-1 engine (sha1/sha1.h, Sha1Hasher) with every block function this
// machine runs. The first input byte chooses how the rest, the message, is
// split into Update calls and where it lies in memory. Rules:
//   - any split of the message into Update calls gives the digest of one
//     call over the whole message;
//   - that digest is OpenSSL's SHA1 of the message, for every block function;
//   - a hasher reset after Final gives the same digest again.
#include <openssl/sha.h>

#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sha1/block_functions.h"
#include "sha1/block_selection.h"
#include "sha1/sha1.h"

namespace {

struct Digest {
  uint8_t bytes[20];
  bool operator==(const Digest& other) const { return std::memcmp(bytes, other.bytes, sizeof bytes) == 0; }
};

Digest HashPieces(Sha1BlockFunction function, const uint8_t* message, const std::vector<uint32_t>& pieces, bool twice) {
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.blockFunction = function;
  Digest digest{};
  for (int round = 0; round < (twice ? 2 : 1); ++round) {
    hasher.Reset();
    const uint8_t* cursor = message;
    for (uint32_t length : pieces) {
      hasher.Update(cursor, length);
      cursor += length;
    }
    Digest again{};
    hasher.Final(again.bytes);
    if (round == 1) FUZZ_CHECK(again == digest);
    digest = again;
  }
  return digest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t choice = data[0];
  // The message, copied to an offset of 0..7 bytes from an 8-byte boundary.
  const size_t misalignment = choice & 7;
  std::vector<uint64_t> storage((size + misalignment) / 8 + 1);
  uint8_t* message = reinterpret_cast<uint8_t*>(storage.data()) + misalignment;
  const uint32_t length = static_cast<uint32_t>(size - 1);
  if (length != 0) std::memcpy(message, data + 1, length);

  // Piece lengths taken from the message's own bytes, so the fuzzer steers
  // both; zero-length pieces included.
  std::vector<uint32_t> pieces;
  uint32_t left = length;
  for (uint32_t i = 0; left != 0 && i < 1u + (choice >> 3); ++i) {
    const uint32_t piece = (message[i % length] * 7u + i) % (left + 1);
    pieces.push_back(piece);
    left -= piece;
  }
  pieces.push_back(left);

  Digest expected{};
  SHA1(message, length, expected.bytes);
  SelectSha1BlockFunction();  // derives UsableCpuFeatureFlags
  const uint32_t usable = UsableCpuFeatureFlags;
  for (const Sha1BlockVariant& variant : kSha1BlockVariants) {
    if (!Allows(usable, variant)) continue;
    FUZZ_CHECK(HashPieces(variant.function, message, {length}, false) == expected);
    FUZZ_CHECK(HashPieces(variant.function, message, pieces, true) == expected);
  }
  // The hasher as the program sets it up, with the block function it picks.
  Sha1Hasher hasher = {};
  hasher.Init();
  FUZZ_CHECK(HashPieces(hasher.blockFunction, message, pieces, false) == expected);
  return 0;
}
