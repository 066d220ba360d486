// The exported entry points as the tool uses them, loaded from the built
// shared library by name: request handling, the state's life, and the records
// read back after a success.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "wintrust/file_request.h"
#include "wintrust/openssl_ptr.h"
#include "wintrust/test_support.h"

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
    ASSERT_FALSE(testing::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
    path_ = testing::ToUtf16(testing::FixtureDir() + "/files/pe64-rsa-sha256.exe");
    FillFileRequest(path_.c_str(), &file_, &request_);
  }
  void TearDown() override {
    if (request_.hWVTStateData != nullptr) Close();
  }
  const testing::ExportedApi& api() { return testing::Api(); }
  HRESULT Call() { return api().winVerifyTrustEx(nullptr, &action_, &request_); }
  HRESULT Close() {
    request_.dwStateAction = WTD_STATEACTION_CLOSE;
    return Call();
  }
  void UsePath(const std::string& path) {
    path_ = testing::ToUtf16(path);
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
  request_.dwUnionChoice = WTD_CHOICE_CATALOG;
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

  // Compare each chain element with the certificate files it came from.
  const char* names[] = {"leaf-rsa", "intermediate", "root"};
  for (DWORD i = 0; i < 3; ++i) {
    CRYPT_PROVIDER_CERT* cert = api().getProvCertFromChain(signer, i);
    ASSERT_NE(cert, nullptr);
    ASSERT_NE(cert->pCert, nullptr);
    ASSERT_NE(cert->pCert->pCertInfo, nullptr);
    std::string pem = testing::FixtureDir() + "/pki/sha256/" + names[i] + ".crt";
    FILE* in = std::fopen(pem.c_str(), "r");
    ASSERT_NE(in, nullptr);
    X509Ptr expected(PEM_read_X509(in, nullptr, nullptr, nullptr));
    std::fclose(in);
    ASSERT_TRUE(expected);
    unsigned char* der = nullptr;
    int derLength = i2d_X509(expected.get(), &der);
    ASSERT_GT(derLength, 0);
    EXPECT_TRUE(SameBytes(ByteView(cert->pCert->pbCertEncoded, cert->pCert->cbCertEncoded),
                          ByteView(der, static_cast<size_t>(derLength))))
        << names[i];
    OPENSSL_free(der);

    const CERT_INFO& info = *cert->pCert->pCertInfo;
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(expected.get());
    EXPECT_TRUE(
        SameBytes(ByteView(info.SubjectPublicKeyInfo.PublicKey.pbData, info.SubjectPublicKeyInfo.PublicKey.cbData),
                  ByteView(ASN1_STRING_get0_data(bits), static_cast<size_t>(ASN1_STRING_length(bits)))));
    EXPECT_EQ(info.SubjectPublicKeyInfo.PublicKey.cUnusedBits, 0u);
    EXPECT_STREQ(info.SubjectPublicKeyInfo.Algorithm.pszObjId, "1.2.840.113549.1.1.1");
    EXPECT_STREQ(info.SignatureAlgorithm.pszObjId, "1.2.840.113549.1.1.11");
    EXPECT_EQ(info.dwVersion, 2u);
    // CryptoAPI stores the serial number least significant byte first.
    const ASN1_INTEGER* serial = X509_get0_serialNumber(expected.get());
    Bytes reversed(ASN1_STRING_get0_data(serial), ASN1_STRING_get0_data(serial) + ASN1_STRING_length(serial));
    std::reverse(reversed.begin(), reversed.end());
    EXPECT_TRUE(SameBytes(ByteView(info.SerialNumber.pbData, info.SerialNumber.cbData), reversed));
    EXPECT_EQ(cert->fTrustedRoot != 0, i == 2);
    EXPECT_EQ(cert->fSelfSigned != 0, i == 2);
  }
  // The leaf is valid from 2024-01-01 00:00:00 UTC.
  const FILETIME& notBefore = api().getProvCertFromChain(signer, 0)->pCert->pCertInfo->NotBefore;
  uint64_t ticks = (uint64_t{notBefore.dwHighDateTime} << 32) | notBefore.dwLowDateTime;
  EXPECT_EQ(ticks, (uint64_t{1704067200} + 11644473600u) * 10000000u);

  void* handle = request_.hWVTStateData;
  EXPECT_EQ(Close(), 0);
  EXPECT_EQ(request_.hWVTStateData, nullptr);
  EXPECT_EQ(api().provDataFromStateData(handle), nullptr) << "a closed state is gone";
}

TEST_F(ExportsTest, FailureStillHandsBackAStateToClose) {
  UsePath(testing::FixtureDir() + "/files/pe64-unsigned.exe");
  EXPECT_EQ(Call(), TRUST_E_NOSIGNATURE);
  ASSERT_NE(request_.hWVTStateData, nullptr);
  CRYPT_PROVIDER_DATA* data = api().provDataFromStateData(request_.hWVTStateData);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->dwFinalError, static_cast<DWORD>(TRUST_E_NOSIGNATURE));
  EXPECT_EQ(api().getProvSignerFromChain(data, 0, FALSE, 0), nullptr);
  EXPECT_EQ(Close(), 0);
  EXPECT_EQ(request_.hWVTStateData, nullptr);
}

TEST_F(ExportsTest, ExpiredSignerIsStillReadable) {
  UsePath(testing::FixtureDir() + "/files/pe64-sha256-expired.exe");
  EXPECT_EQ(Call(), CERT_E_EXPIRED);
  CRYPT_PROVIDER_DATA* data = api().provDataFromStateData(request_.hWVTStateData);
  ASSERT_NE(data, nullptr);
  CRYPT_PROVIDER_SGNR* signer = api().getProvSignerFromChain(data, 0, FALSE, 0);
  ASSERT_NE(signer, nullptr);
  EXPECT_EQ(signer->dwError, static_cast<DWORD>(CERT_E_EXPIRED));
  EXPECT_NE(api().getProvCertFromChain(signer, 0), nullptr);
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
    UsePath(testing::FixtureDir() + "/files/" + name);
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
  UsePath(testing::FixtureDir() + "/files/no-such-file.exe");
  EXPECT_EQ(Call(), 2) << "ERROR_FILE_NOT_FOUND";
  EXPECT_EQ(Close(), 0);
  request_.dwStateAction = WTD_STATEACTION_VERIFY;
  UsePath(testing::FixtureDir() + "/files");
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
  Bytes content = testing::ReadWholeFile(testing::FixtureDir() + "/files/pe64-rsa-sha256.exe");
  testing::WriteWholeFile(rawName, content);
  std::u16string name = testing::ToUtf16(dir + "/caf");
  name.push_back(static_cast<char16_t>(0xDCE9));  // the escaped byte 0xE9
  name += u".exe";
  file_.pcwszFilePath = name.c_str();
  EXPECT_EQ(Call(), 0);
  std::remove(rawName.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace wintrust
