#include "platform/utf8.h"

#include <cstdint>

namespace platform {
namespace {

constexpr char32_t kEscapeBase = 0xDC00;

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

void AppendUnit(WideString& out, char32_t unit) {
  out.push_back(static_cast<WideChar>(unit));
}

void AppendCodePoint(WideString& out, char32_t codePoint) {
  if (codePoint < 0x10000) {
    AppendUnit(out, codePoint);
    return;
  }
  codePoint -= 0x10000;
  AppendUnit(out, 0xD800 + (codePoint >> 10));
  AppendUnit(out, 0xDC00 + (codePoint & 0x3FF));
}

void AppendUtf8(std::string& out, char32_t codePoint) {
  auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
  if (codePoint < 0x80) {
    byte(codePoint);
  } else if (codePoint < 0x800) {
    byte(0xC0 | (codePoint >> 6));
    byte(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    byte(0xE0 | (codePoint >> 12));
    byte(0x80 | ((codePoint >> 6) & 0x3F));
    byte(0x80 | (codePoint & 0x3F));
  } else {
    byte(0xF0 | (codePoint >> 18));
    byte(0x80 | ((codePoint >> 12) & 0x3F));
    byte(0x80 | ((codePoint >> 6) & 0x3F));
    byte(0x80 | (codePoint & 0x3F));
  }
}

// Length of the valid UTF-8 sequence at bytes[at], or 0 when it is not one.
// Overlong forms, surrogates and values past U+10FFFF are not valid.
size_t ValidSequenceLength(std::string_view bytes, size_t at, char32_t* codePoint) {
  const auto lead = static_cast<unsigned char>(bytes[at]);
  size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[at + i]);
    if (!IsContinuation(next)) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codePoint = value;
  return length;
}

}  // namespace

WideString DecodeUtf8(std::string_view bytes) {
  WideString out;
  out.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    char32_t codePoint = 0;
    const size_t length = ValidSequenceLength(bytes, at, &codePoint);
    if (length == 0) {
      AppendUnit(out, kEscapeBase + static_cast<unsigned char>(bytes[at]));
      ++at;
      continue;
    }
    AppendCodePoint(out, codePoint);
    at += length;
  }
  return out;
}

std::string EncodeUtf8(const WideChar* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    const char32_t unit = static_cast<uint16_t>(text[i]);
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && i + 1 < length) {
      const char32_t low = static_cast<uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out.push_back(static_cast<char>(unit - kEscapeBase));
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

}  // namespace platform
