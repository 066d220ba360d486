#include "report/report_log.h"

#include <gtest/gtest.h>

#include <string>

#include "report/report_capture.h"

namespace {

class ReportLogTest : public testing::Test {
 protected:
  std::string Bytes() const { return capture_.Bytes(); }

  ReportCapture capture_{"report_log_test.txt"};
};

// The UTF-16LE bytes of an ASCII text.
std::string Le(const std::string& ascii) {
  std::string bytes;
  for (char c : ascii) bytes += std::string{c, '\0'};
  return bytes;
}

TEST_F(ReportLogTest, WritesTextsBackToBackAsLittleEndianUnits) {
  const WideChar mark[] = {0xFEFF, 0};
  LogWrite(mark);
  LogWrite(WIDE("Wintrust.dll "));
  LogPrintf(true, WIDE("Size: %d SHA1: %s"), {42, WIDE("ab")});
  EXPECT_EQ("\xFF\xFE" + Le("Wintrust.dll Size: 42 SHA1: ab\r\n"), Bytes());
}

TEST_F(ReportLogTest, EmptyTextsAddNothingButTheLineEnd) {
  LogWrite(WIDE(""));
  EXPECT_EQ("", Bytes());
  LogPrintf(true, WIDE("%s"), {WIDE("")});
  EXPECT_EQ(Le("\r\n"), Bytes());
  LogPrintf(false, WIDE(""));
  EXPECT_EQ(Le("\r\n"), Bytes());
}

TEST_F(ReportLogTest, AFormatEndingInALineEndGetsASecondOne) {
  LogPrintf(true, WIDE("Fail open target file. %s\r\n"), {WIDE("x")});
  EXPECT_EQ(Le("Fail open target file. x\r\n\r\n"), Bytes());
}

TEST_F(ReportLogTest, KeepsCharactersOutsideTheBasicPlaneAsSurrogatePairs) {
  const WideChar name[] = {0x00E9, 0xD83D, 0xDE00, 0};
  LogPrintf(true, WIDE("File: %s"), {name});
  EXPECT_EQ(Le("File: ") + std::string("\xE9\x00\x3D\xD8\x00\xDE", 6) + Le("\r\n"), Bytes());
}

TEST_F(ReportLogTest, CutsAFormattedTextAtTheFormatLengthPlus4095Units) {
  const WideString longText(5000, WIDE('y'));
  LogPrintf(true, WIDE("P %s"), {longText.c_str()});
  const std::string bytes = Bytes();
  // Format "P %s" is 4 units long: the text may hold 4 + 4095 of them.
  ASSERT_EQ((4 + 4095 + 2) * 2u, bytes.size());
  EXPECT_EQ(Le("P y"), bytes.substr(0, 6));
  EXPECT_EQ(Le("y\r\n"), bytes.substr(bytes.size() - 6));
}

}  // namespace
