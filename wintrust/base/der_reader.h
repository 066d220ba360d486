// A reader of DER elements over untrusted bytes, with the one BER form
// signing tools emit: single-byte tags; definite lengths of at most four
// octets; and the indefinite length (0x80, closed by the end-of-contents
// octets 00 00) on constructed elements only, nested at most
// kMaxIndefiniteNesting deep inside the element being read. Every length is
// checked against what is left before it is used, the end of an indefinite
// element is found in one pass without recursion, and nothing is read
// outside the view the reader was given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wintrust/base/byte_view.h"

namespace wintrust {

enum class DerError {
  kNone,
  kBadTag,     // an unexpected tag, or an encoding this reader refuses: a high
               // tag number, more than four length octets, an indefinite
               // length on a primitive element, indefinite lengths nested
               // deeper than kMaxIndefiniteNesting
  kEndOfData,  // an element longer than the bytes that hold it, or an
               // indefinite one whose end-of-contents octets never come
};

// How deep indefinite-length elements may nest inside the one being read.
// Real signatures nest a dozen levels at most (a time-stamp token's TSTInfo
// inside the signer inside the outer SignedData); the cap bounds the work of
// finding an element's end.
constexpr size_t kMaxIndefiniteNesting = 64;

struct Tlv {
  uint8_t tag = 0;
  ByteView whole;    // identifier, length and content octets, and the
                     // end-of-contents octets of an indefinite element
  ByteView content;  // the content octets, without end-of-contents
};

namespace der {
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kOctetStringConstructed = 0x24;  // BER: segments
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t kContext0 = 0xA0;  // [0], constructed
constexpr uint8_t kContext1 = 0xA1;  // [1], constructed
constexpr uint8_t kContext0Primitive = 0x80;
}  // namespace der

namespace oid {
// 1.2.840.113549.1.7.2, the content type of every signature read here, and
// how a file that is a bare signature is told.
extern const ByteView kSignedData;
}  // namespace oid

// The identifier and length octets of an element, read by the same rules as
// the element itself.
struct DerHeader {
  uint8_t tag = 0;
  size_t size = 0;      // identifier and length octets
  uint64_t length = 0;  // content length; 0 when indefinite
  bool indefinite = false;
};

// Reads the identifier and length octets at the start of `bytes`, whether or
// not the content follows within `bytes`: for readers of a file's head that
// have not read the file whole.
DerError ReadDerHeader(ByteView bytes, DerHeader* out);

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
