#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

WideString Units(std::initializer_list<char16_t> units) {
  WideString text;
  for (char16_t unit : units) text.push_back(static_cast<WideChar>(unit));
  return text;
}

std::string Encode(const WideString& text) {
  return platform::EncodeUtf8(text.c_str(), text.size());
}

TEST(Utf8Test, DecodesEveryLengthOfSequence) {
  // A, e-acute, euro sign, U+1F600 (a surrogate pair).
  EXPECT_EQ(Units({0x41, 0xE9, 0x20AC, 0xD83D, 0xDE00}), platform::DecodeUtf8("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
}

TEST(Utf8Test, EscapesInvalidBytesAsLoneSurrogates) {
  // A stray continuation byte, a lead byte cut short, an overlong slash, an
  // encoded surrogate and a value past U+10FFFF.
  EXPECT_EQ(Units({0xDC80, 0x61}), platform::DecodeUtf8("\x80"
                                                        "a"));
  EXPECT_EQ(Units({0xDCE2, 0xDC82}), platform::DecodeUtf8("\xE2\x82"));
  EXPECT_EQ(Units({0xDCC0, 0xDCAF}), platform::DecodeUtf8("\xC0\xAF"));
  EXPECT_EQ(Units({0xDCED, 0xDCA0, 0xDC80}), platform::DecodeUtf8("\xED\xA0\x80"));
  EXPECT_EQ(Units({0xDCF4, 0xDC90, 0xDC80, 0xDC80}), platform::DecodeUtf8("\xF4\x90\x80\x80"));
}

TEST(Utf8Test, EveryByteStringSurvivesTheRoundTrip) {
  std::string bytes;
  for (int value = 1; value < 256; ++value) bytes.push_back(static_cast<char>(value));
  bytes += "\xF0\x9F\x98\x80\xE2\x82";
  EXPECT_EQ(bytes, Encode(platform::DecodeUtf8(bytes)));
}

TEST(Utf8Test, EncodesLoneSurrogatesOutsideTheEscapeRangeAsReplacement) {
  EXPECT_EQ(
      "\xEF\xBF\xBD"
      "a",
      Encode(Units({0xD800, 0x61})));
  EXPECT_EQ("\xEF\xBF\xBD", Encode(Units({0xDC10})));
}

}  // namespace
