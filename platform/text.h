// Text is UTF-16 code units on every platform: the report stores them as they
// are, so the unit type must be 16 bits wide everywhere. On Windows that is the
// platform's own WCHAR; on Linux, where wchar_t is 32 bits, it is char16_t.
#pragma once

#include <cstddef>
#include <string>

#if defined(_WIN32)
using WideChar = wchar_t;
#define WIDE(literal) L##literal
#else
using WideChar = char16_t;
#define WIDE(literal) u##literal
#endif

static_assert(sizeof(WideChar) == 2, "report text must be 16-bit code units");

using WideString = std::basic_string<WideChar>;

// Number of units before the terminating zero unit.
inline size_t WideLength(const WideChar* text) {
  return std::char_traits<WideChar>::length(text);
}
