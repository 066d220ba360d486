#include "wintrust/base/der_reader.h"

namespace wintrust {
namespace oid {
namespace {
constexpr uint8_t kSignedDataBytes[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
}  // namespace
const ByteView kSignedData(kSignedDataBytes);
}  // namespace oid

namespace {

constexpr uint8_t kConstructed = 0x20;
constexpr uint8_t kIndefinite = 0x80;

// A header whose definite content lies inside `bytes`.
DerError ReadHeader(ByteView bytes, DerHeader* out) {
  DerError error = ReadDerHeader(bytes, out);
  if (error != DerError::kNone) return error;
  if (out->length > bytes.size() - out->size) return DerError::kEndOfData;
  return DerError::kNone;
}

bool IsEndOfContents(ByteView bytes, uint64_t at) {
  return bytes.size() - at >= 2 && bytes[at] == 0 && bytes[at + 1] == 0;
}

// The offset in `bytes` just past the end-of-contents octets that close an
// indefinite element whose content starts at `bytes[start]`. One pass with a
// depth counter, never a recursion: definite elements are stepped over
// whole, indefinite ones open a level and their end-of-contents closes it.
DerError FindEndOfContents(ByteView bytes, uint64_t start, uint64_t* end) {
  size_t depth = 1;
  uint64_t at = start;
  while (true) {
    if (at == bytes.size()) return DerError::kEndOfData;
    if (IsEndOfContents(bytes, at)) {
      at += 2;
      if (--depth == 0) {
        *end = at;
        return DerError::kNone;
      }
      continue;
    }
    DerHeader header;
    DerError error = ReadHeader(bytes.subspan(static_cast<size_t>(at)), &header);
    if (error != DerError::kNone) return error;
    at += header.size;
    if (header.indefinite) {
      if (++depth > kMaxIndefiniteNesting) return DerError::kBadTag;
    } else {
      at += header.length;
    }
  }
}

}  // namespace

DerError ReadDerHeader(ByteView bytes, DerHeader* out) {
  *out = DerHeader{};
  if (bytes.size() < 2) return bytes.empty() ? DerError::kBadTag : DerError::kEndOfData;
  out->tag = bytes[0];
  // High tag numbers never occur in the structures read here.
  if ((out->tag & 0x1F) == 0x1F) return DerError::kBadTag;
  out->size = 2;
  const uint8_t first = bytes[1];
  if (first == kIndefinite) {
    // BER allows the indefinite form on constructed elements only.
    if ((out->tag & kConstructed) == 0) return DerError::kBadTag;
    out->indefinite = true;
    return DerError::kNone;
  }
  if ((first & 0x80) == 0) {
    out->length = first;
    return DerError::kNone;
  }
  const size_t count = first & 0x7Fu;
  // More than four length octets would describe more than 4 GiB, which no
  // certificate table holds.
  if (count > 4) return DerError::kBadTag;
  if (bytes.size() - 2 < count) return DerError::kEndOfData;
  for (size_t i = 0; i < count; ++i) out->length = (out->length << 8) | bytes[2 + i];
  out->size += count;
  return DerError::kNone;
}

DerError ReadTlv(ByteView bytes, Tlv* out) {
  *out = Tlv{};
  DerHeader header;
  DerError error = ReadHeader(bytes, &header);
  if (error != DerError::kNone) return error;
  uint64_t contentEnd = header.size + header.length;
  uint64_t wholeEnd = contentEnd;
  if (header.indefinite) {
    error = FindEndOfContents(bytes, header.size, &wholeEnd);
    if (error != DerError::kNone) return error;
    contentEnd = wholeEnd - 2;
  }
  out->tag = header.tag;
  out->whole = bytes.subspan(0, static_cast<size_t>(wholeEnd));
  out->content = bytes.subspan(static_cast<size_t>(header.size), static_cast<size_t>(contentEnd - header.size));
  return DerError::kNone;
}

bool DerReader::Next(Tlv* out) {
  if (error_ != DerError::kNone) return false;
  if (rest_.empty()) return Fail(DerError::kBadTag);
  DerError error = ReadTlv(rest_, out);
  if (error != DerError::kNone) return Fail(error);
  rest_ = rest_.subspan(out->whole.size());
  return true;
}

bool DerReader::Expect(uint8_t tag, Tlv* out) {
  if (error_ != DerError::kNone) return false;
  if (rest_.empty() || rest_[0] != tag) return Fail(DerError::kBadTag);
  return Next(out);
}

bool DerReader::Optional(uint8_t tag, Tlv* out) {
  *out = Tlv{};
  if (error_ != DerError::kNone) return false;
  if (rest_.empty() || rest_[0] != tag) return true;
  return Next(out);
}

}  // namespace wintrust
