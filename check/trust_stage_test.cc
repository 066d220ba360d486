#include "check/trust_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "report/report_capture.h"
#include "trust/fake_trust_platform.h"

namespace {

const WideChar kTarget[] = WIDE("target.exe");

const std::vector<std::string> kLookups = {"find WinVerifyTrustEx", "find WTHelperProvDataFromStateData",
                                           "find WTHelperGetProvSignerFromChain", "find WTHelperGetProvCertFromChain"};

WideString OriginLines(const WideChar* path) {
  WideString lines;
  for (const WideChar* label : {WIDE("WinVerifyTrustEx"), WIDE("WTHelperProvDataFromStateData"),
                                WIDE("WTHelperGetProvSignerFromChain"), WIDE("WTHelperGetProvCertFromChain")}) {
    lines += WideString(label) + WIDE(" Path: ") + path + WIDE("\r\n");
  }
  return lines;
}

class TrustStageTest : public testing::Test {
 protected:
  FakeTrust trust_;
  FakeTrustPlatform platform_{trust_};
  ReportCapture report_{"trust_stage_test.txt"};
};

TEST_F(TrustStageTest, LibraryThatDoesNotLoadEndsTheCheck) {
  platform_.loads = false;
  RunTrustStage(platform_, kTarget);
  EXPECT_EQ(WIDE("Fail LoadLibrary"), report_.Text());
  EXPECT_EQ((std::vector<std::string>{"load"}), trust_.calls) << "nothing looked up, nothing released";
}

TEST_F(TrustStageTest, TrustedTargetGivesOriginsKeyHashAndSuccess) {
  RunTrustStage(platform_, kTarget);
  EXPECT_EQ(OriginLines(WIDE("/lib/trust.so")) +
                WIDE("PublicKeyHash: a9993e364706816aba3e25717850c26c9cd0d89d\r\nCHECK SUCCESS"),
            report_.Text());
  std::vector<std::string> expected = {"load"};
  expected.insert(expected.end(), kLookups.begin(), kLookups.end());
  expected.insert(expected.end(), {"mapped", "mapped", "mapped", "mapped", "verify", "provider", "signer",
                                   "certificate", "close", "release"});
  EXPECT_EQ(expected, trust_.calls);
  EXPECT_EQ(kTarget, trust_.verifiedPath);
}

TEST_F(TrustStageTest, UntrustedTargetStillReleasesTheLibrary) {
  trust_.status = static_cast<HRESULT>(0x800B0109);
  RunTrustStage(platform_, kTarget);
  EXPECT_EQ(OriginLines(WIDE("/lib/trust.so")) + WIDE("WinVerifyTrustEx Error hr=800b0109\r\n"), report_.Text());
  EXPECT_EQ("release", trust_.calls.back());
  EXPECT_EQ(1, std::count(trust_.calls.begin(), trust_.calls.end(), "release"));
}

TEST_F(TrustStageTest, MissingFunctionShowsNullAndSkipsVerification) {
  const char* names[] = {"WinVerifyTrustEx", "WTHelperProvDataFromStateData", "WTHelperGetProvSignerFromChain",
                         "WTHelperGetProvCertFromChain"};
  for (const char* missing : names) {
    FakeTrust trust;
    FakeTrustPlatform platform(trust);
    ReportCapture report("trust_stage_missing.txt");
    platform.missingExports = {missing};
    RunTrustStage(platform, kTarget);

    WideString expected;
    for (const char* name : names) {
      const WideString label(name, name + std::char_traits<char>::length(name));
      expected += label + (name == missing ? WIDE(" NULL\r\n") : WIDE(" Path: /lib/trust.so\r\n"));
    }
    EXPECT_EQ(expected, report.Text()) << missing;
    EXPECT_EQ(3, std::count(trust.calls.begin(), trust.calls.end(), "mapped")) << "a null entry is not queried";
    EXPECT_EQ(0, std::count(trust.calls.begin(), trust.calls.end(), "verify"));
    EXPECT_EQ(0, std::count(trust.calls.begin(), trust.calls.end(), "close"));
    EXPECT_EQ("release", trust.calls.back());
  }
}

TEST_F(TrustStageTest, AllFunctionsMissingStillGivesFourLines) {
  platform_.missingExports = {"WinVerifyTrustEx", "WTHelperProvDataFromStateData", "WTHelperGetProvSignerFromChain",
                              "WTHelperGetProvCertFromChain"};
  RunTrustStage(platform_, kTarget);
  EXPECT_EQ(WIDE("WinVerifyTrustEx NULL\r\nWTHelperProvDataFromStateData NULL\r\n"
                 "WTHelperGetProvSignerFromChain NULL\r\nWTHelperGetProvCertFromChain NULL\r\n"),
            report_.Text());
}

}  // namespace
