#include "verify/file_verdict.h"

#include <array>
#include <cstddef>
#include <cstdio>

#include "platform/certificate.h"
#include "sha1/sha1.h"
#include "verify/status_text.h"

namespace {

// WINTRUST_DATA as far as dwUIContext, the form the report's request uses.
constexpr DWORD kRequestSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);

std::string Hex(const uint8_t* bytes, size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::string KeyHash(const CERT_INFO& info) {
  const CRYPT_BIT_BLOB& key = info.SubjectPublicKeyInfo.PublicKey;
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.Reset();
  hasher.Update(key.pbData, key.cbData);
  uint8_t digest[20];
  hasher.Final(digest);
  return Hex(digest, sizeof digest);
}

std::string SerialNumber(const CERT_INFO& info) {
  // CryptoAPI keeps the serial number least significant byte first.
  std::string text;
  for (DWORD i = info.SerialNumber.cbData; i > 0; --i) text += Hex(&info.SerialNumber.pbData[i - 1], 1);
  return text;
}

CertificateDetails DescribeCertificate(PCCERT_CONTEXT certificate) {
  CertificateDetails details;
  details.subject = platform::CertificateCommonName(certificate, false);
  details.issuer = platform::CertificateCommonName(certificate, true);
  std::array<uint8_t, 20> thumbprint{};
  if (platform::CertificateThumbprint(certificate, &thumbprint)) details.sha1 = Hex(thumbprint.data(), 20);
  if (certificate->pCertInfo != nullptr) {
    details.serial = SerialNumber(*certificate->pCertInfo);
    details.keyHash = KeyHash(*certificate->pCertInfo);
  }
  return details;
}

PCCERT_CONTEXT CertificateAt(const TrustFunctions& functions, CRYPT_PROVIDER_SGNR* signer, DWORD index) {
  CRYPT_PROVIDER_CERT* entry = functions.wtHelperGetProvCertFromChain(signer, index);
  return entry == nullptr ? nullptr : entry->pCert;
}

void ReadSignerDetails(HANDLE state, const TrustFunctions& functions, FileVerdict* verdict) {
  CRYPT_PROVIDER_DATA* providerData = functions.wtHelperProvDataFromStateData(state);
  if (providerData == nullptr) return;
  CRYPT_PROVIDER_SGNR* signer = functions.wtHelperGetProvSignerFromChain(providerData, 0, FALSE, 0);
  if (signer == nullptr) return;
  const PCCERT_CONTEXT leaf = CertificateAt(functions, signer, 0);
  if (leaf == nullptr) return;
  verdict->signer = DescribeCertificate(leaf);
  for (DWORD i = 0; i < signer->csCertChain; ++i) {
    const PCCERT_CONTEXT certificate = CertificateAt(functions, signer, i);
    if (certificate != nullptr) verdict->chain.push_back(platform::CertificateCommonName(certificate, false));
  }
}

}  // namespace

FileVerdict VerifyOneFile(TrustPlatform& platform, const TrustFunctions& functions, const WideString& path) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();

  WINTRUST_DATA request = {};
  request.cbStruct = kRequestSize;
  request.dwUIChoice = WTD_UI_NONE;
  request.fdwRevocationChecks = WTD_REVOKE_NONE;
  request.dwUnionChoice = WTD_CHOICE_FILE;
  request.pFile = &file;
  request.dwStateAction = WTD_STATEACTION_VERIFY;
  request.dwUIContext = WTD_UICONTEXT_EXECUTE;

  FileVerdict verdict;
  verdict.path = path;
  verdict.status = static_cast<uint32_t>(functions.winVerifyTrustEx(nullptr, &action, &request));
  if (IsReadFailure(verdict.status)) {
    verdict.error = DescribeStatus(verdict.status).explanation;
  } else if (request.hWVTStateData != nullptr) {
    ReadSignerDetails(request.hWVTStateData, functions, &verdict);
  }

  request.dwStateAction = WTD_STATEACTION_CLOSE;
  platform.CloseVerification(&action, &request);
  return verdict;
}

FileVerdict UnreadableFile(const WideString& path, uint32_t status, const std::string& error) {
  FileVerdict verdict;
  verdict.path = path;
  verdict.status = status;
  verdict.error = error;
  return verdict;
}
