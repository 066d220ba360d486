#include "trust/function_origin.h"

#include <gtest/gtest.h>

#include "report/report_capture.h"
#include "trust/fake_trust_platform.h"

namespace {

class FunctionOriginTest : public testing::Test {
 protected:
  FakeTrust trust_;
  FakeTrustPlatform platform_{trust_};
  ReportCapture report_{"function_origin_test.txt"};
};

TEST_F(FunctionOriginTest, AddressInNoMappedFileIsUnexpected) {
  platform_.mappedPath.clear();
  ReportFunctionOrigin(platform_, WIDE("WinVerifyTrustEx"), &trust_);
  EXPECT_EQ(WIDE("WinVerifyTrustEx Unexcept\r\n"), report_.Text());
}

TEST_F(FunctionOriginTest, CountBeyondTheBufferIsUnexpected) {
  platform_.mappedCount = 1025;
  ReportFunctionOrigin(platform_, WIDE("WinVerifyTrustEx"), &trust_);
  EXPECT_EQ(WIDE("WinVerifyTrustEx Unexcept\r\n"), report_.Text());
}

TEST_F(FunctionOriginTest, NameThatFillsTheBufferIsCutInsideIt) {
  platform_.mappedPath = WideString(3000, WIDE('p'));
  ReportFunctionOrigin(platform_, WIDE("F"), &trust_);
  EXPECT_EQ(WIDE("F Path: ") + WideString(1023, WIDE('p')) + WIDE("\r\n"), report_.Text());
}

TEST_F(FunctionOriginTest, PathIsWrittenUnconverted) {
  platform_.mappedPath = WIDE("\\??\\C:\\windows\\system32\\WINTRUST.dll");
  ReportFunctionOrigin(platform_, WIDE("WTHelperGetProvCertFromChain"), &trust_);
  EXPECT_EQ(WIDE("WTHelperGetProvCertFromChain Path: \\??\\C:\\windows\\system32\\WINTRUST.dll\r\n"), report_.Text());
}

}  // namespace
