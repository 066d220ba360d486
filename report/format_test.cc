#include "report/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace {

WideString Format(const WideChar* format, std::initializer_list<FormatArgument> arguments, size_t capacity = 256) {
  std::vector<WideChar> buffer(capacity, 0x7777);
  const size_t length = FormatText(buffer.data(), capacity, format, arguments);
  EXPECT_EQ(0, buffer[length]) << "the text must be terminated right after its length";
  return WideString(buffer.data(), length);
}

TEST(FormatTest, CopiesPlainTextAndLineEnds) {
  EXPECT_EQ(WIDE("plain\r\n"), Format(WIDE("plain\r\n"), {}));
  EXPECT_EQ(WIDE(""), Format(WIDE(""), {}));
}

TEST(FormatTest, SubstitutesTexts) {
  EXPECT_EQ(WIDE("File: C:\\a b.exe!"), Format(WIDE("File: %s!"), {WIDE("C:\\a b.exe")}));
  EXPECT_EQ(WIDE("[]"), Format(WIDE("[%s]"), {WIDE("")}));
  EXPECT_EQ(WIDE("x y"), Format(WIDE("%s %s"), {WIDE("x"), WIDE("y")}));
}

TEST(FormatTest, FormatsDecimals) {
  EXPECT_EQ(WIDE("0 7 -12 2147483647 -2147483648"),
            Format(WIDE("%d %d %d %d %d"),
                   {0, 7, -12, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()}));
  EXPECT_EQ(WIDE("2015/03/09 04:05:00"), Format(WIDE("%d/%02d/%02d %02d:%02d:%02d"), {2015, 3, 9, 4, 5, 0}));
  EXPECT_EQ(WIDE("123 -5 00"), Format(WIDE("%02d %02d %02d"), {123, -5, 0}));
}

TEST(FormatTest, ShowsLargeUnsignedSizesAsTheirTrueValue) {
  EXPECT_EQ(WIDE("2147483651"), Format(WIDE("%d"), {uint64_t{2147483651}}));
  EXPECT_EQ(WIDE("5368709120"), Format(WIDE("%d"), {uint64_t{5} << 30}));
  EXPECT_EQ(WIDE("18446744073709551615"), Format(WIDE("%d"), {std::numeric_limits<uint64_t>::max()}));
}

TEST(FormatTest, FormatsEightHexDigitsOfTheLow32Bits) {
  EXPECT_EQ(WIDE("00000001 800b0100 deadbeef"),
            Format(WIDE("%8.8x %8.8x %8.8x"), {1u, int32_t{-2146762496}, 0xDEADBEEFu}));
  EXPECT_EQ(WIDE("00000000"), Format(WIDE("%8.8x"), {0}));
}

TEST(FormatTest, CopiesUnknownConversionsAsTheyStand) {
  EXPECT_EQ(WIDE("100% %x %"), Format(WIDE("100% %x %"), {}));
}

TEST(FormatTest, CutsAtTheBoundAndWritesNothingBeyondIt) {
  std::vector<WideChar> buffer(12, 0x7777);
  const size_t length = FormatText(buffer.data(), 8, WIDE("ab%scd"), {WIDE("0123456789")});
  EXPECT_EQ(7u, length);
  EXPECT_EQ(WIDE("ab01234"), WideString(buffer.data(), length));
  EXPECT_EQ(0, buffer[7]);
  for (size_t i = 8; i < buffer.size(); ++i) EXPECT_EQ(0x7777, buffer[i]) << "unit " << i;
}

TEST(FormatTest, NeverCutsBetweenTheHalvesOfASurrogatePair) {
  const WideChar pairs[] = {0xD83D, 0xDE00, 0xD83D, 0xDE01, 0};
  // Room for three units: the second pair would be split, so it goes whole.
  EXPECT_EQ(WideString(pairs, 2), Format(WIDE("%s"), {pairs}, 4));
  EXPECT_EQ(WideString(pairs, 4), Format(WIDE("%s"), {pairs}, 5));
}

TEST(FormatTest, CutTextDropsALoneHighSurrogateBeforeACutPairToo) {
  const WideChar text[] = {WIDE('A'), 0xD800, 0xD83D, 0xDE00, 0};
  EXPECT_EQ(WIDE("A"), Format(WIDE("%s"), {text}, 4));
}

}  // namespace
