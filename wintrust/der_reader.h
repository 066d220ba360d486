// A reader of DER elements over untrusted bytes: single-byte tags, definite
// lengths of at most four octets, every length checked against what is left
// before it is used. It never reads outside the view it was given.
#pragma once

#include <cstdint>

#include "wintrust/byte_view.h"

namespace wintrust {

enum class DerError {
  kNone,
  kBadTag,     // an unexpected tag, or an encoding DER does not allow
  kEndOfData,  // an element longer than the bytes that hold it
};

struct Tlv {
  uint8_t tag = 0;
  ByteView whole;    // tag, length and content
  ByteView content;  // the content octets
};

namespace der {
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t kContext0 = 0xA0;  // [0], constructed
constexpr uint8_t kContext1 = 0xA1;  // [1], constructed
constexpr uint8_t kContext0Primitive = 0x80;
}  // namespace der

// Reads the element at the start of `bytes`; bytes after it are allowed.
DerError ReadTlv(ByteView bytes, Tlv* out);

// Walks the elements of a constructed element's content, one after another.
class DerReader {
 public:
  explicit DerReader(ByteView content) : rest_(content) {}

  bool AtEnd() const { return rest_.empty(); }
  uint8_t PeekTag() const { return rest_.empty() ? 0 : rest_[0]; }

  // The next element, whatever its tag. False at the end or on an error.
  bool Next(Tlv* out);
  // The next element, which must carry `tag`.
  bool Expect(uint8_t tag, Tlv* out);
  // The next element when it carries `tag`; otherwise nothing is consumed and
  // `out` is left empty. False only on an encoding error.
  bool Optional(uint8_t tag, Tlv* out);

  // The first error met, or kNone. Running past the end counts as kBadTag: a
  // required element is missing.
  DerError error() const { return error_; }

 private:
  bool Fail(DerError error) {
    if (error_ == DerError::kNone) error_ = error;
    return false;
  }
  ByteView rest_;
  DerError error_ = DerError::kNone;
};

}  // namespace wintrust
