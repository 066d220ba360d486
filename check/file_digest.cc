#include "check/file_digest.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "sha1/sha1.h"

namespace {

constexpr uint64_t kWholeBufferLimit = uint64_t{1} << 32;
constexpr uint32_t kStreamChunk = uint32_t{1} << 24;

bool HashStreamed(const platform::File& file, uint64_t size, Sha1Hasher& hasher) {
  const std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kStreamChunk]);
  if (!chunk) return false;
  for (uint64_t left = size; left > 0;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(left, kStreamChunk));
    if (!platform::ReadExactly(file, chunk.get(), count)) return false;
    hasher.Update(chunk.get(), count);
    left -= count;
  }
  return true;
}

}  // namespace

bool DigestWholeFile(const platform::File& file, FileDigest* digest) {
  // A size the system cannot say is a failed read, not an empty file.
  uint64_t size = 0;
  if (!platform::SizeOf(file, &size)) return false;
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.Reset();

  bool whole = false;
  if (size < kWholeBufferLimit && size <= SIZE_MAX) {
    const platform::ReadBuffer content(static_cast<size_t>(size));
    if (content.data() != nullptr) {
      if (!platform::ReadExactly(file, content.data(), static_cast<size_t>(size))) return false;
      hasher.Update(content.data(), static_cast<uint32_t>(size));
      whole = true;
    }
  }
  if (!whole && !HashStreamed(file, size, hasher)) return false;

  uint8_t bytes[20];
  hasher.Final(bytes);
  DigestToHex(bytes, digest->text);
  digest->size = size;
  return true;
}
