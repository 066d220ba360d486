#include "trust/verify_signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "report/report_capture.h"
#include "trust/fake_trust_platform.h"

namespace {

const WideChar kPath[] = WIDE("C:\\signed file.exe");
// {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}
const GUID kVerifyV2 = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

class VerifySignatureTest : public testing::Test {
 protected:
  bool Verify() { return VerifyFileSignature(platform_, kPath, FakeTrust::AllFunctions()); }

  // The request both calls carried, and that it was closed exactly once.
  void ExpectClosedOnce() {
    EXPECT_EQ(1, std::count(trust_.calls.begin(), trust_.calls.end(), "close"));
    EXPECT_EQ("close", trust_.calls.back());
    EXPECT_EQ(trust_.verifyRequest, trust_.closeRequest) << "one request instance serves both calls";
    EXPECT_EQ(DWORD{WTD_STATEACTION_CLOSE}, trust_.closeAction);
    EXPECT_EQ(FakeTrust::StateHandle(), trust_.stateAtClose);
    EXPECT_EQ(0, std::memcmp(&kVerifyV2, &trust_.closeActionId, sizeof(GUID)));
  }

  FakeTrust trust_;
  FakeTrustPlatform platform_{trust_};
  ReportCapture report_{"verify_signature_test.txt"};
};

TEST_F(VerifySignatureTest, TrustedFileWritesTheKeyHash) {
  EXPECT_TRUE(Verify());
  // SHA-1 of the key bytes "abc".
  EXPECT_EQ(WIDE("PublicKeyHash: a9993e364706816aba3e25717850c26c9cd0d89d\r\n"), report_.Text());
  EXPECT_EQ((std::vector<std::string>{"verify", "provider", "signer", "certificate", "close"}), trust_.calls);
  ExpectClosedOnce();
}

TEST_F(VerifySignatureTest, RequestIsFilledAsTheTrustServiceExpects) {
  Verify();
  const WINTRUST_DATA& request = trust_.requestSeen;
  // The form that ends at dwUIContext: 80 bytes in the 64-bit layout, 48 in
  // the 32-bit one.
  EXPECT_EQ(sizeof(void*) == 8 ? 80u : 48u, request.cbStruct);
  EXPECT_EQ(nullptr, request.pPolicyCallbackData);
  EXPECT_EQ(nullptr, request.pSIPClientData);
  EXPECT_EQ(DWORD{WTD_UI_NONE}, request.dwUIChoice);
  EXPECT_EQ(DWORD{WTD_REVOKE_NONE}, request.fdwRevocationChecks);
  EXPECT_EQ(DWORD{WTD_CHOICE_FILE}, request.dwUnionChoice);
  EXPECT_EQ(nullptr, request.pwszURLReference);
  EXPECT_EQ(0u, request.dwProvFlags);
  EXPECT_EQ(DWORD{WTD_UICONTEXT_EXECUTE}, request.dwUIContext);
  EXPECT_EQ(kPath, trust_.verifiedPath) << "the path is passed exactly as given";
  EXPECT_EQ(DWORD{WTD_STATEACTION_VERIFY}, request.dwStateAction);
  EXPECT_EQ(nullptr, request.hWVTStateData);
  EXPECT_EQ(sizeof(void*) == 8 ? 32u : 16u, trust_.fileSeen.cbStruct);
  EXPECT_EQ(nullptr, trust_.fileSeen.hFile);
  EXPECT_EQ(nullptr, trust_.fileSeen.pgKnownSubject);
  EXPECT_EQ(0, std::memcmp(&kVerifyV2, &trust_.actionSeen, sizeof(GUID)));
}

TEST_F(VerifySignatureTest, NamedStatusesAreWrittenByNameWithoutLineEnd) {
  const struct {
    uint32_t status;
    const WideChar* name;
  } cases[] = {
      {0x800B0001, WIDE("TRUST_E_PROVIDER_UNKNOWN")},
      {0x800B0002, WIDE("TRUST_E_ACTION_UNKNOWN")},
      {0x800B0003, WIDE("TRUST_E_SUBJECT_FORM_UNKNOWN")},
      {0x800B0004, WIDE("TRUST_E_SUBJECT_NOT_TRUSTED")},
  };
  for (const auto& item : cases) {
    FakeTrust trust;
    FakeTrustPlatform platform(trust);
    ReportCapture report("verify_signature_named.txt");
    trust.status = static_cast<HRESULT>(item.status);
    EXPECT_FALSE(VerifyFileSignature(platform, kPath, FakeTrust::AllFunctions()));
    EXPECT_EQ(WideString(WIDE("WinVerifyTrustEx Error hr=")) + item.name, report.Text());
    EXPECT_EQ((std::vector<std::string>{"verify", "close"}), trust.calls);
  }
}

TEST_F(VerifySignatureTest, OtherStatusesAreWrittenInHexWithLineEnd) {
  const struct {
    uint32_t status;
    const WideChar* text;
  } cases[] = {
      {0x800B0000, WIDE("800b0000")}, {0x800B0005, WIDE("800b0005")}, {0x800B0100, WIDE("800b0100")},
      {0x80096010, WIDE("80096010")}, {1, WIDE("00000001")},          {2, WIDE("00000002")},
      {0x7FFFFFFF, WIDE("7fffffff")},
  };
  for (const auto& item : cases) {
    FakeTrust trust;
    FakeTrustPlatform platform(trust);
    ReportCapture report("verify_signature_hex.txt");
    trust.status = static_cast<HRESULT>(item.status);
    EXPECT_FALSE(VerifyFileSignature(platform, kPath, FakeTrust::AllFunctions()));
    EXPECT_EQ(WideString(WIDE("WinVerifyTrustEx Error hr=")) + item.text + WIDE("\r\n"), report.Text());
    EXPECT_EQ((std::vector<std::string>{"verify", "close"}), trust.calls);
  }
}

TEST_F(VerifySignatureTest, FailedVerificationStillClosesTheSameState) {
  trust_.status = static_cast<HRESULT>(0x800B0100);
  EXPECT_FALSE(Verify());
  ExpectClosedOnce();
}

TEST_F(VerifySignatureTest, EachMissingRecordEndsWithItsTextAndCloses) {
  const struct {
    bool FakeTrust::*gives;
    const WideChar* text;
  } cases[] = {
      {&FakeTrust::giveProviderData, WIDE("WTHelperProvDataFromStateData fail")},
      {&FakeTrust::giveSigner, WIDE("WTHelperGetProvSignerFromChain fail")},
      {&FakeTrust::giveCertificate, WIDE("WTHelperGetProvCertFromChain fail")},
      {&FakeTrust::giveContext, WIDE("UnexceptData pCert")},
      {&FakeTrust::giveInfo, WIDE("UnexceptData pCert->pCertInfo")},
  };
  for (const auto& item : cases) {
    FakeTrust trust;
    FakeTrustPlatform platform(trust);
    ReportCapture report("verify_signature_missing.txt");
    trust.*item.gives = false;
    EXPECT_FALSE(VerifyFileSignature(platform, kPath, FakeTrust::AllFunctions()));
    EXPECT_EQ(item.text, report.Text());
    EXPECT_EQ(1, std::count(trust.calls.begin(), trust.calls.end(), "close"));
    EXPECT_EQ("close", trust.calls.back());
  }
}

TEST_F(VerifySignatureTest, EmptyKeyHashesToTheDigestOfNothing) {
  trust_.key.clear();
  EXPECT_TRUE(Verify());
  EXPECT_EQ(WIDE("PublicKeyHash: da39a3ee5e6b4b0d3255bfef95601890afd80709\r\n"), report_.Text());
}

TEST_F(VerifySignatureTest, VerificationStepWritesCheckSuccessOnlyAfterTheKeyHash) {
  RunVerificationStep(platform_, kPath, FakeTrust::AllFunctions());
  EXPECT_EQ(WIDE("PublicKeyHash: a9993e364706816aba3e25717850c26c9cd0d89d\r\nCHECK SUCCESS"), report_.Text());
}

TEST_F(VerifySignatureTest, VerificationStepDoesNothingWhenAFunctionIsMissing) {
  for (int missing = 0; missing < 4; ++missing) {
    FakeTrust trust;
    FakeTrustPlatform platform(trust);
    ReportCapture report("verify_signature_step.txt");
    TrustFunctions functions = FakeTrust::AllFunctions();
    if (missing == 0) functions.winVerifyTrustEx = nullptr;
    if (missing == 1) functions.wtHelperProvDataFromStateData = nullptr;
    if (missing == 2) functions.wtHelperGetProvSignerFromChain = nullptr;
    if (missing == 3) functions.wtHelperGetProvCertFromChain = nullptr;
    RunVerificationStep(platform, kPath, functions);
    EXPECT_EQ(WIDE(""), report.Text());
    EXPECT_TRUE(trust.calls.empty()) << "missing entry " << missing;
  }
}

}  // namespace
