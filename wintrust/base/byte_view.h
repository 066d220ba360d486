// Read-only views of bytes and the bounds-checked readers every parser of
// untrusted input uses. Offsets and lengths are 64-bit and are compared with
// what is left before anything is added, so no sum can wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace wintrust {

using ByteView = std::span<const uint8_t>;
using Bytes = std::vector<uint8_t>;

// True when [offset, offset + length) lies inside a buffer of `size` bytes.
constexpr bool RangeInside(uint64_t size, uint64_t offset, uint64_t length) {
  return offset <= size && length <= size - offset;
}

// The sub-view [offset, offset + length), or nothing when it is not inside.
inline std::optional<ByteView> SubView(ByteView bytes, uint64_t offset, uint64_t length) {
  if (!RangeInside(bytes.size(), offset, length)) return std::nullopt;
  return bytes.subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
}

inline std::optional<uint16_t> ReadLe16(ByteView bytes, uint64_t offset) {
  if (!RangeInside(bytes.size(), offset, 2)) return std::nullopt;
  const uint8_t* p = bytes.data() + offset;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline std::optional<uint32_t> ReadLe32(ByteView bytes, uint64_t offset) {
  if (!RangeInside(bytes.size(), offset, 4)) return std::nullopt;
  const uint8_t* p = bytes.data() + offset;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline std::optional<uint64_t> ReadLe64(ByteView bytes, uint64_t offset) {
  auto low = ReadLe32(bytes, offset);
  auto high = ReadLe32(bytes, offset + 4);
  if (!low || !high) return std::nullopt;
  return uint64_t{*low} | (uint64_t{*high} << 32);
}

// Write `value` at `offset`, least significant byte first. For writers of
// files the library or its tests make; the range must lie inside `bytes`.
void PutLe16(Bytes* bytes, uint64_t offset, uint16_t value);
void PutLe32(Bytes* bytes, uint64_t offset, uint32_t value);
void PutLe64(Bytes* bytes, uint64_t offset, uint64_t value);
// Appends the low `byteCount` bytes of `value`, least significant first.
void AppendLe(Bytes* bytes, uint64_t value, size_t byteCount);

inline bool SameBytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace wintrust
