#include "report/format.h"

namespace {

bool IsHighSurrogate(WideChar unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

// Collects units into the caller's buffer up to its last unit, which is kept
// for the terminator; units past that are counted as lost.
class BoundedWriter {
 public:
  BoundedWriter(WideChar* buffer, size_t capacity) : buffer_(buffer), limit_(capacity - 1) {}

  void Put(WideChar unit) {
    if (length_ < limit_) {
      buffer_[length_++] = unit;
    } else {
      truncated_ = true;
    }
  }

  void Put(const WideChar* text) {
    for (; *text != 0 && !truncated_; ++text) Put(*text);
  }

  size_t Finish() {
    // Cut text never ends in a high surrogate: its partner was cut off, or
    // it never had one and a lone one may stand before it.
    while (truncated_ && length_ > 0 && IsHighSurrogate(buffer_[length_ - 1])) --length_;
    buffer_[length_] = 0;
    return length_;
  }

 private:
  WideChar* buffer_;
  size_t limit_;
  size_t length_ = 0;
  bool truncated_ = false;
};

// As printf's %d and %0<width>d: the sign counts towards the width.
void PutDecimal(BoundedWriter& out, const FormatArgument& value, int width) {
  WideChar digits[20];
  int count = 0;
  uint64_t rest = value.magnitude();
  do {
    digits[count++] = static_cast<WideChar>(u'0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (value.negative()) out.Put(WIDE('-'));
  for (int pad = count + (value.negative() ? 1 : 0); pad < width; ++pad) out.Put(WIDE('0'));
  while (count > 0) out.Put(digits[--count]);
}

void PutHex32(BoundedWriter& out, const FormatArgument& value) {
  static constexpr WideChar kDigits[] = WIDE("0123456789abcdef");
  uint32_t bits = static_cast<uint32_t>(value.negative() ? 0 - value.magnitude() : value.magnitude());
  for (int shift = 28; shift >= 0; shift -= 4) out.Put(kDigits[(bits >> shift) & 0xF]);
}

// Whether `format` continues with `conversion` (the part after the '%').
bool StartsWith(const WideChar* format, const char* conversion) {
  for (; *conversion != 0; ++format, ++conversion) {
    if (*format != static_cast<WideChar>(*conversion)) return false;
  }
  return true;
}

}  // namespace

size_t FormatText(WideChar* buffer, size_t capacity, const WideChar* format,
                  std::initializer_list<FormatArgument> arguments) {
  BoundedWriter out(buffer, capacity);
  const FormatArgument* next = arguments.begin();
  const FormatArgument* const end = arguments.end();
  static const FormatArgument kMissing(static_cast<const WideChar*>(nullptr));
  auto take = [&]() -> const FormatArgument& { return next != end ? *next++ : kMissing; };

  while (*format != 0) {
    if (*format != WIDE('%')) {
      out.Put(*format++);
      continue;
    }
    const WideChar* conversion = format + 1;
    if (StartsWith(conversion, "s")) {
      const FormatArgument& text = take();
      if (text.text() != nullptr) out.Put(text.text());
      format = conversion + 1;
    } else if (StartsWith(conversion, "d")) {
      PutDecimal(out, take(), 1);
      format = conversion + 1;
    } else if (StartsWith(conversion, "02d")) {
      PutDecimal(out, take(), 2);
      format = conversion + 3;
    } else if (StartsWith(conversion, "8.8x")) {
      PutHex32(out, take());
      format = conversion + 4;
    } else {
      out.Put(*format++);
    }
  }
  return out.Finish();
}
