// The exported entry points as the tool uses them, loaded from the built
// shared library by name: request handling, the state's life, and the records
// read back after a success.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "wintrust/testing/test_request.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

// The 64-bit Windows layout of the members the tool reads (check_layout.sh
// compares the whole set with the Windows headers).
static_assert(sizeof(WINTRUST_DATA) == 80);
static_assert(offsetof(WINTRUST_DATA, pFile) == 40);
static_assert(offsetof(WINTRUST_DATA, hWVTStateData) == 56);
static_assert(offsetof(WINTRUST_DATA, dwUIContext) == 76);
static_assert(sizeof(WINTRUST_FILE_INFO) == 32);
static_assert(offsetof(CERT_CONTEXT, pCertInfo) == 24);
static_assert(offsetof(CERT_INFO, SubjectPublicKeyInfo) + offsetof(CERT_PUBLIC_KEY_INFO, PublicKey) == 120);
static_assert(offsetof(CRYPT_PROVIDER_CERT, pCert) == 8);
static_assert(sizeof(GUID) == 16);

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(api().winVerifyTrustEx, nullptr) << dlerror();
    ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
    path_ = test_support::ToUtf16(test_support::FixtureDir() + "/files/pe64-rsa-sha256.exe");
    FillFileRequest(path_.c_str(), &file_, &request_);
  }
  void TearDown() override {
    if (request_.hWVTStateData != nullptr) Close();
  }
  const test_support::ExportedApi& api() { return test_support::Api(); }
  HRESULT Call() { return api().winVerifyTrustEx(nullptr, &action_, &request_); }
  HRESULT Close() {
    request_.dwStateAction = WTD_STATEACTION_CLOSE;
    return Call();
  }
  void UsePath(const std::string& path) {
    path_ = test_support::ToUtf16(path);
    file_.pcwszFilePath = path_.c_str();
  }

  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  std::u16string path_;
  WINTRUST_FILE_INFO file_{};
  WINTRUST_DATA request_{};
};

TEST_F(ExportsTest, UnknownActionIsRefused) {
  GUID other = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  other.Data4[7] ^= 1;
  EXPECT_EQ(api().winVerifyTrustEx(nullptr, &other, &request_), TRUST_E_ACTION_UNKNOWN);
  EXPECT_EQ(api().winVerifyTrustEx(nullptr, nullptr, &request_), TRUST_E_ACTION_UNKNOWN);
  EXPECT_EQ(request_.hWVTStateData, nullptr);
}

TEST_F(ExportsTest, MalformedRequestsAreRefused) {
  EXPECT_EQ(api().winVerifyTrustEx(nullptr, &action_, nullptr), E_INVALIDARG);
  request_.cbStruct = offsetof(WINTRUST_DATA, hWVTStateData);
  EXPECT_EQ(Call(), E_INVALIDARG);
  request_.cbStruct = sizeof(WINTRUST_DATA);
  request_.pFile = nullptr;
  EXPECT_EQ(Call(), E_INVALIDARG);
  request_.pFile = &file_;
  file_.pcwszFilePath = nullptr;
  EXPECT_EQ(Call(), E_INVALIDARG);
  request_.dwStateAction = 7;
  EXPECT_EQ(Call(), E_INVALIDARG);
  request_.dwStateAction = WTD_STATEACTION_VERIFY;
  // A catalog request whose record names no member file.
  WINTRUST_CATALOG_INFO catalog{};
  catalog.cbStruct = sizeof catalog;
  catalog.pcwszCatalogFilePath = file_.pcwszFilePath;
  request_.dwUnionChoice = WTD_CHOICE_CATALOG;
  request_.pCatalog = &catalog;
  EXPECT_EQ(Call(), E_INVALIDARG);
  request_.dwUnionChoice = WTD_CHOICE_BLOB;
  EXPECT_EQ(Call(), TRUST_E_SUBJECT_FORM_UNKNOWN);
  EXPECT_EQ(request_.hWVTStateData, nullptr);
}

TEST_F(ExportsTest, AcceptsTheLongerRequestForm) {
  // The form with pSignatureSettings after dwUIContext is 8 bytes longer.
  struct {
    WINTRUST_DATA data;
    void* pSignatureSettings;
  } longer{};
  longer.data = request_;
  longer.data.cbStruct = sizeof longer;
  EXPECT_EQ(api().winVerifyTrustEx(nullptr, &action_, &longer.data), 0);
  longer.data.dwStateAction = WTD_STATEACTION_CLOSE;
  EXPECT_EQ(api().winVerifyTrustEx(nullptr, &action_, &longer.data), 0);
  EXPECT_EQ(longer.data.hWVTStateData, nullptr);
}

TEST_F(ExportsTest, SuccessLeavesTheSignerRecords) {
  ASSERT_EQ(Call(), 0);
  ASSERT_NE(request_.hWVTStateData, nullptr);
  CRYPT_PROVIDER_DATA* data = api().provDataFromStateData(request_.hWVTStateData);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->cbStruct, sizeof(CRYPT_PROVIDER_DATA));
  EXPECT_EQ(data->pWintrustData, &request_);
  EXPECT_EQ(data->csSigners, 1u);
  EXPECT_EQ(data->dwFinalError, 0u);
  CRYPT_PROVIDER_SGNR* signer = api().getProvSignerFromChain(data, 0, FALSE, 0);
  ASSERT_NE(signer, nullptr);
  EXPECT_EQ(api().getProvSignerFromChain(data, 1, FALSE, 0), nullptr);
  EXPECT_EQ(api().getProvSignerFromChain(data, 0, TRUE, 0), nullptr) << "no counter-signer records are kept";
  ASSERT_EQ(signer->csCertChain, 3u);
  EXPECT_EQ(api().getProvCertFromChain(signer, 3), nullptr);

  for (DWORD i = 0; i < 3; ++i) EXPECT_NE(api().getProvCertFromChain(signer, i), nullptr) << i;

  void* handle = request_.hWVTStateData;
  EXPECT_EQ(Close(), 0);
  EXPECT_EQ(request_.hWVTStateData, nullptr);
  EXPECT_EQ(api().provDataFromStateData(handle), nullptr) << "a closed state is gone";
}

TEST_F(ExportsTest, FailureStillHandsBackAStateToClose) {
  UsePath(test_support::FixtureDir() + "/files/pe64-unsigned.exe");
  EXPECT_EQ(Call(), TRUST_E_NOSIGNATURE);
  ASSERT_NE(request_.hWVTStateData, nullptr);
  CRYPT_PROVIDER_DATA* data = api().provDataFromStateData(request_.hWVTStateData);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->dwFinalError, static_cast<DWORD>(TRUST_E_NOSIGNATURE));
  EXPECT_EQ(api().getProvSignerFromChain(data, 0, FALSE, 0), nullptr);
  EXPECT_EQ(Close(), 0);
  EXPECT_EQ(request_.hWVTStateData, nullptr);
}

TEST_F(ExportsTest, CallersOpenSslErrorsSurvive) {
  // An error the caller's thread queued before the call stays, alone, after
  // verifications whose own OpenSSL failures (a damaged certificate or
  // signer signature, a chain to an untrusted root, a time stamp) are
  // answered by their status.
  ERR_clear_error();
  ERR_raise_data(ERR_LIB_USER, 42, "the caller's own error");
  const unsigned long callers = ERR_peek_last_error();
  ASSERT_NE(callers, 0u);
  for (const char* name : {"pe64-rsa-sha256.exe", "pe64-bad-cert-signature.exe", "pe64-tampered-signature.exe",
                           "pe64-untrusted-sha256-root.exe", "pe64-sha256-expired-timestamped.exe",
                           "pe64-not-der-signeddata.exe", "pe64-rsa-pss.exe"}) {
    UsePath(test_support::FixtureDir() + "/files/" + name);
    request_.dwStateAction = WTD_STATEACTION_VERIFY;
    Call();
    EXPECT_EQ(Close(), 0);
    EXPECT_EQ(ERR_peek_error(), callers) << name;
    EXPECT_EQ(ERR_peek_last_error(), callers) << name << ": nothing added behind it";
  }
  ERR_clear_error();
}

TEST_F(ExportsTest, IgnoreActionKeepsNoState) {
  request_.dwStateAction = WTD_STATEACTION_IGNORE;
  EXPECT_EQ(Call(), 0);
  EXPECT_EQ(request_.hWVTStateData, nullptr);
}

TEST_F(ExportsTest, CloseToleratesNullAndForeignHandles) {
  EXPECT_EQ(Close(), 0);
  int notAState = 0;
  request_.hWVTStateData = &notAState;
  EXPECT_EQ(Close(), E_INVALIDARG);
  EXPECT_EQ(api().provDataFromStateData(&notAState), nullptr);
  request_.hWVTStateData = nullptr;
  EXPECT_EQ(api().provDataFromStateData(nullptr), nullptr);
  EXPECT_EQ(api().getProvSignerFromChain(nullptr, 0, FALSE, 0), nullptr);
  EXPECT_EQ(api().getProvCertFromChain(nullptr, 0), nullptr);
}

TEST_F(ExportsTest, FilesThatCannotBeOpened) {
  UsePath(test_support::FixtureDir() + "/files/no-such-file.exe");
  EXPECT_EQ(Call(), 2) << "ERROR_FILE_NOT_FOUND";
  EXPECT_EQ(Close(), 0);
  request_.dwStateAction = WTD_STATEACTION_VERIFY;
  UsePath(test_support::FixtureDir() + "/files");
  EXPECT_EQ(Call(), 5) << "ERROR_ACCESS_DENIED, as for a directory on Windows";
  EXPECT_EQ(Close(), 0);
  request_.dwStateAction = WTD_STATEACTION_VERIFY;
  const char16_t badName[] = {u'/', 0xD800, u'x', 0};
  file_.pcwszFilePath = badName;
  EXPECT_EQ(Call(), 123) << "ERROR_INVALID_NAME";
}

TEST_F(ExportsTest, HandleInRequestIsIgnored) {
  // hFile may hold anything, even a value that is no descriptor at all.
  file_.hFile = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
  EXPECT_EQ(Call(), 0);
}

TEST_F(ExportsTest, NonUtf8FileNamesArePassedThrough) {
  char pattern[] = "/tmp/wintrust-name-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern;
  std::string rawName = dir + "/caf\xe9.exe";  // Latin-1, not UTF-8
  Bytes content = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/pe64-rsa-sha256.exe");
  test_support::WriteWholeFile(rawName, content);
  std::u16string name = test_support::ToUtf16(dir + "/caf");
  name.push_back(static_cast<char16_t>(0xDCE9));  // the escaped byte 0xE9
  name += u".exe";
  file_.pcwszFilePath = name.c_str();
  EXPECT_EQ(Call(), 0);
  std::remove(rawName.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace wintrust
