#include "wintrust/der_reader.h"

namespace wintrust {

DerError ReadTlv(ByteView bytes, Tlv* out) {
  *out = Tlv{};
  if (bytes.size() < 2) return bytes.empty() ? DerError::kBadTag : DerError::kEndOfData;
  uint8_t tag = bytes[0];
  // High tag numbers never occur in the structures read here.
  if ((tag & 0x1F) == 0x1F) return DerError::kBadTag;
  uint64_t headerSize = 2;
  uint64_t length = bytes[1];
  if (length & 0x80) {
    uint64_t count = length & 0x7F;
    // 0x80 is BER's indefinite length; more than four length octets would
    // describe more than 4 GiB, which no certificate table holds.
    if (count == 0 || count > 4) return DerError::kBadTag;
    if (bytes.size() - 2 < count) return DerError::kEndOfData;
    length = 0;
    for (uint64_t i = 0; i < count; ++i) length = (length << 8) | bytes[2 + i];
    headerSize += count;
  }
  if (length > bytes.size() - headerSize) return DerError::kEndOfData;
  out->tag = tag;
  out->whole = bytes.subspan(0, static_cast<size_t>(headerSize + length));
  out->content = bytes.subspan(static_cast<size_t>(headerSize), static_cast<size_t>(length));
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
