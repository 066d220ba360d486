// The times a countersignature states: UTCTime with its two-digit year read
// as 1950..2049, GeneralizedTime with four, and anything else no time at
// all. Expected values are seconds since 1970 from Python's calendar.timegm.
#include "wintrust/signature/timestamp.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace wintrust {
namespace {

// The DER element of tag `tag` whose content is the ASCII `text`.
Bytes TimeElement(uint8_t tag, const std::string& text) {
  Bytes element(2 + text.size());
  element[0] = tag;
  element[1] = static_cast<uint8_t>(text.size());
  for (size_t i = 0; i < text.size(); ++i) element[2 + i] = static_cast<uint8_t>(text[i]);
  return element;
}

constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;

struct TimeCase {
  const char* what;
  uint8_t tag;
  const char* text;
  std::optional<time_t> seconds;
};

const TimeCase kTimeCases[] = {
    {"UTCTime", kUtcTime, "240101000000Z", 1704067200},
    {"UTCTime 50 is 1950", kUtcTime, "500101000000Z", -631152000},
    {"UTCTime 49 is 2049", kUtcTime, "491231235959Z", 2524607999},
    {"GeneralizedTime", kGeneralizedTime, "20240101000000Z", 1704067200},
    {"GeneralizedTime past 32 bits", kGeneralizedTime, "21060207062816Z", 4294967296},
    {"a time without its zone", kUtcTime, "240101000000", std::nullopt},
    {"a month 13", kUtcTime, "241301000000Z", std::nullopt},
    {"digits that are letters", kGeneralizedTime, "2024O101000000Z", std::nullopt},
    {"an OCTET STRING holding a time", 0x04, "240101000000Z", std::nullopt},
};

TEST(Asn1Time, ReadsWhatCountersignaturesState) {
  for (const TimeCase& row : kTimeCases) {
    Bytes element = TimeElement(row.tag, row.text);
    EXPECT_EQ(ReadAsn1Time(element), row.seconds) << row.what;
  }
}

TEST(Asn1Time, ElementCutShortIsNoTime) {
  Bytes element = TimeElement(kUtcTime, "240101000000Z");
  for (size_t length = 0; length < element.size(); ++length) {
    EXPECT_EQ(ReadAsn1Time(ByteView(element.data(), length)), std::nullopt) << length << " bytes";
  }
}

}  // namespace
}  // namespace wintrust
