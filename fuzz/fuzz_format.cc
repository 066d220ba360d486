// The report formatter (report/format.h, FormatText) with arbitrary UTF-16
// formats and arguments. The input is read as: two bytes of capacity, one
// byte of argument count, the arguments (kind, then value), then format
// tokens. Rules:
//   - nothing is written outside the buffer of `capacity` units (the buffer
//     is exactly that large, so AddressSanitizer sees any unit past it);
//   - the result is terminated at the returned length, which is below the
//     capacity;
//   - when the whole text fits it equals a plain reference formatting;
//   - when it does not, it is the longest prefix of the reference that has
//     at most capacity - 1 units and does not end in a high surrogate (whose
//     partner, if it had one, was cut off).
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "report/format.h"

namespace {

bool IsHighSurrogate(WideChar unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  uint16_t Unit() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint64_t Word() {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= uint64_t{Byte()} << (8 * i);
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

enum class Kind { kText, kInt, kInt64, kUnsigned, kUint64, kBool };

// One argument, kept both as the formatter receives it and as the
// reference reads it.
struct Argument {
  Kind kind = Kind::kText;
  std::u16string text;  // for kText; may hold a zero unit, which ends it
  int64_t signedValue = 0;
  uint64_t unsignedValue = 0;
  bool isSigned = false;

  FormatArgument ForFormatter() const {
    switch (kind) {
      case Kind::kText:
        return FormatArgument(text.c_str());
      case Kind::kInt:
        return FormatArgument(static_cast<int>(signedValue));
      case Kind::kInt64:
        return FormatArgument(signedValue);
      case Kind::kUnsigned:
        return FormatArgument(static_cast<unsigned>(unsignedValue));
      case Kind::kUint64:
        return FormatArgument(unsignedValue);
      case Kind::kBool:
        return FormatArgument(unsignedValue != 0);
    }
    return FormatArgument(0);
  }
};

Argument ReadArgument(Input& in) {
  Argument argument;
  argument.kind = static_cast<Kind>(in.Byte() % 6);
  const uint64_t word = in.Word();
  switch (argument.kind) {
    case Kind::kText: {
      const size_t length = word % 48;
      for (size_t i = 0; i < length; ++i) argument.text.push_back(static_cast<char16_t>(in.Unit()));
      break;
    }
    case Kind::kInt:
      argument.signedValue = static_cast<int32_t>(static_cast<uint32_t>(word));
      argument.isSigned = true;
      break;
    case Kind::kInt64:
      argument.signedValue = static_cast<int64_t>(word);
      argument.isSigned = true;
      break;
    case Kind::kUnsigned:
      argument.unsignedValue = static_cast<uint32_t>(word);
      break;
    case Kind::kUint64:
      argument.unsignedValue = word;
      break;
    case Kind::kBool:
      argument.unsignedValue = word & 1;
      break;
  }
  return argument;
}

std::u16string Ascii(const char* text) {
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// printf's own rendering of an argument for %d, %02d and %8.8x; a text or a
// missing argument counts as zero.
std::u16string Number(const Argument* argument, const char* signedFormat, const char* unsignedFormat) {
  char text[32];
  if (argument != nullptr && argument->kind != Kind::kText && argument->isSigned) {
    std::snprintf(text, sizeof text, signedFormat, static_cast<long long>(argument->signedValue));
  } else {
    unsigned long long value = argument != nullptr && argument->kind != Kind::kText ? argument->unsignedValue : 0;
    std::snprintf(text, sizeof text, unsignedFormat, value);
  }
  return Ascii(text);
}

std::u16string Hex32(const Argument* argument) {
  uint64_t bits = 0;
  if (argument != nullptr && argument->kind != Kind::kText) {
    bits = argument->isSigned ? static_cast<uint64_t>(argument->signedValue) : argument->unsignedValue;
  }
  char text[16];
  std::snprintf(text, sizeof text, "%08" PRIx32, static_cast<uint32_t>(bits));
  return Ascii(text);
}

// The reference: the format read conversion by conversion into an
// unbounded string.
std::u16string Reference(const std::u16string& format, const std::vector<Argument>& arguments) {
  std::u16string out;
  size_t next = 0;
  auto take = [&]() -> const Argument* { return next < arguments.size() ? &arguments[next++] : nullptr; };
  for (size_t i = 0; i < format.size();) {
    const std::u16string_view rest = std::u16string_view(format).substr(i);
    if (rest.starts_with(u"%s")) {
      const Argument* argument = take();
      if (argument != nullptr && argument->kind == Kind::kText) {
        out += std::u16string(argument->text.c_str());  // up to its first zero unit
      }
      i += 2;
    } else if (rest.starts_with(u"%d")) {
      out += Number(take(), "%lld", "%llu");
      i += 2;
    } else if (rest.starts_with(u"%02d")) {
      out += Number(take(), "%02lld", "%02llu");
      i += 4;
    } else if (rest.starts_with(u"%8.8x")) {
      out += Hex32(take());
      i += 5;
    } else {
      out += format[i];
      ++i;
    }
  }
  return out;
}

std::u16string ReadFormat(Input& in) {
  std::u16string format;
  while (!in.empty() && format.size() < 512) {
    const uint8_t token = in.Byte();
    switch (token % 10) {
      case 0:
        format += u"%s";
        break;
      case 1:
        format += u"%d";
        break;
      case 2:
        format += u"%02d";
        break;
      case 3:
        format += u"%8.8x";
        break;
      case 4:
        format += u"%0";
        break;
      case 5:
        format += u"%8.8";
        break;
      case 6:
        format += u'%';
        break;
      case 7:
        format += u"\xD83D\xDE00";
        break;  // a surrogate pair
      case 8:
        format += static_cast<char16_t>(0xD800 + in.Byte());
        break;  // a lone high surrogate
      default: {
        char16_t unit = static_cast<char16_t>(in.Unit());
        format += unit == 0 ? u'z' : unit;
        break;
      }
    }
  }
  return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const size_t capacity = 1 + in.Unit() % 600;
  std::vector<Argument> arguments(in.Byte() % 5);
  for (Argument& argument : arguments) argument = ReadArgument(in);
  const std::u16string format = ReadFormat(in);

  std::vector<FormatArgument> converted;
  for (const Argument& argument : arguments) converted.push_back(argument.ForFormatter());
  // Exactly `capacity` units on the heap: a write past them is a sanitizer error.
  std::unique_ptr<WideChar[]> buffer(new WideChar[capacity]);
  size_t length = 0;
  const WideChar* f = reinterpret_cast<const WideChar*>(format.c_str());
  switch (converted.size()) {
    case 0:
      length = FormatText(buffer.get(), capacity, f, {});
      break;
    case 1:
      length = FormatText(buffer.get(), capacity, f, {converted[0]});
      break;
    case 2:
      length = FormatText(buffer.get(), capacity, f, {converted[0], converted[1]});
      break;
    case 3:
      length = FormatText(buffer.get(), capacity, f, {converted[0], converted[1], converted[2]});
      break;
    default:
      length = FormatText(buffer.get(), capacity, f, {converted[0], converted[1], converted[2], converted[3]});
      break;
  }

  FUZZ_CHECK(length < capacity);
  FUZZ_CHECK(buffer[length] == 0);
  const std::u16string got(reinterpret_cast<const char16_t*>(buffer.get()), length);
  const std::u16string expected = Reference(format, arguments);
  if (expected.size() <= capacity - 1) {
    FUZZ_CHECK(got == expected);
  } else {
    FUZZ_CHECK(got.empty() || !IsHighSurrogate(got.back()));
    std::u16string kept = expected.substr(0, capacity - 1);
    while (!kept.empty() && IsHighSurrogate(kept.back())) kept.pop_back();
    FUZZ_CHECK(got == kept);
  }
  return 0;
}
