// The report's printf-style formatter over UTF-16 text. It knows exactly the
// conversions the tool's formats use, and gives the same units on every
// platform:
//   %s     a zero-terminated text, its units unchanged
//   %d     an integer in decimal, '-' when negative, no leading zeros
//   %02d   as %d, at least two digits
//   %8.8x  the low 32 bits in exactly 8 lowercase hexadecimal digits
// Any other '%' sequence is copied as it stands.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "platform/text.h"

class FormatArgument {
 public:
  FormatArgument(const WideChar* text) : text_(text) {}
  template <std::integral Integer>
  FormatArgument(Integer value) : magnitude_(static_cast<uint64_t>(value)) {
    if constexpr (std::is_signed_v<Integer>) {
      if (value < 0) {
        negative_ = true;
        magnitude_ = 0 - magnitude_;
      }
    }
  }

  const WideChar* text() const { return text_; }
  uint64_t magnitude() const { return magnitude_; }
  bool negative() const { return negative_; }

 private:
  const WideChar* text_ = nullptr;
  uint64_t magnitude_ = 0;
  bool negative_ = false;
};

// Formats into `buffer` of `capacity` units (capacity >= 1) and returns the
// number of units before the terminator. A text longer than capacity - 1 is
// cut there, and never between the two halves of a surrogate pair; nothing is
// written outside the buffer.
size_t FormatText(WideChar* buffer, size_t capacity, const WideChar* format,
                  std::initializer_list<FormatArgument> arguments);
