// A ByteSource that claims the size a file had when it was opened but holds
// only its first `kept` bytes, as if another process had truncated the file
// after the verifier opened it: reads past `kept` come up short.
#pragma once

#include <algorithm>
#include <cstring>

#include "wintrust/base/file_source.h"

namespace fuzzing {

class TruncatedSource final : public wintrust::ByteSource {
 public:
  TruncatedSource(wintrust::ByteView bytes, uint64_t kept)
      : bytes_(bytes), kept_(std::min<uint64_t>(kept, bytes.size())) {}
  uint64_t size() const override { return bytes_.size(); }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (!wintrust::RangeInside(kept_, offset, out.size())) return false;
    if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return true;
  }

 private:
  wintrust::ByteView bytes_;
  uint64_t kept_;
};

// A value derived from the input (its size and first 256 bytes), for a
// target to choose a cut point or a buffer size from.
inline uint64_t InputHash(wintrust::ByteView bytes) {
  uint64_t hash = 1469598103934665603u ^ bytes.size();
  for (size_t i = 0; i < bytes.size() && i < 256; ++i) hash = (hash ^ bytes[i]) * 1099511628211u;
  return hash;
}

}  // namespace fuzzing
