#include "verify/file_verdict.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/catalog.h"
#include "platform/certificate.h"
#include "trust/file_request.h"
#include "trust/public_key_hash.h"
#include "verify/status_text.h"

namespace {

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
  uint8_t digest[20];
  HashPublicKey(info, digest);
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

// The digest algorithms Authenticode signatures name, by OID.
std::string DigestName(const char* oid) {
  static constexpr struct {
    const char* oid;
    const char* name;
  } kNames[] = {
      {"1.3.14.3.2.26", "sha1"},
      {"2.16.840.1.101.3.4.2.1", "sha256"},
      {"2.16.840.1.101.3.4.2.2", "sha384"},
      {"2.16.840.1.101.3.4.2.3", "sha512"},
      {"1.2.840.113549.2.5", "md5"},
  };
  if (oid == nullptr) return {};
  for (const auto& entry : kNames) {
    if (std::string_view(oid) == entry.oid) return entry.name;
  }
  return oid;
}

// FILETIME (100 ns units since 1601) as RFC 3339 UTC; empty for none.
std::string Rfc3339(const FILETIME& time) {
  const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  constexpr uint64_t kTicksFrom1601To1970 = 116444736000000000;
  if (ticks < kTicksFrom1601To1970) return {};
  using std::chrono::days;
  const std::chrono::seconds since1970{static_cast<int64_t>((ticks - kTicksFrom1601To1970) / 10000000)};
  const std::chrono::sys_days day = std::chrono::floor<days>(std::chrono::sys_seconds(since1970));
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss clock(std::chrono::sys_seconds(since1970) - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

// What kind of signed file the trust service verified the file as, told by
// the subject type it names (the GUID Windows registers for each subject
// interface package); empty when it names none.
std::string FormatOf(const CRYPT_PROVIDER_DATA& providerData) {
  static constexpr struct {
    GUID type;
    const char* name;
  } kFormats[] = {
      {{0xC689AAB8, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}, "pe"},
      {{0xC689AABA, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}, "cab"},
      {{0x000C10F1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}, "msi"},
      {{0x603BCC1F, 0x4B59, 0x4E08, {0xB7, 0x24, 0xD2, 0xC6, 0x29, 0x7E, 0xF3, 0x51}}, "script"},
      {{0x0AC5DF4B, 0xCE07, 0x4DE2, {0xB7, 0x6E, 0x23, 0xC8, 0x39, 0xA0, 0x9F, 0xD1}}, "appx"},
      {{0x0F5F58B3, 0xAADE, 0x4B9A, {0xA4, 0x34, 0x95, 0x74, 0x2D, 0x92, 0xEC, 0xEB}}, "appx"},
      {{0xDE351A43, 0x8E59, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}}, "catalog"},
  };
  if (providerData.pPDSip == nullptr) return {};
  const GUID& type = providerData.pPDSip->gSubject;
  for (const auto& entry : kFormats) {
    if (std::memcmp(&type, &entry.type, sizeof type) == 0) return entry.name;
  }
  return {};
}

void ReadSignerDetails(HANDLE state, const TrustFunctions& functions, FileVerdict* verdict) {
  CRYPT_PROVIDER_DATA* providerData = functions.wtHelperProvDataFromStateData(state);
  if (providerData == nullptr) return;
  verdict->format = FormatOf(*providerData);
  CRYPT_PROVIDER_SGNR* signer = functions.wtHelperGetProvSignerFromChain(providerData, 0, FALSE, 0);
  if (signer == nullptr) return;
  const PCCERT_CONTEXT leaf = CertificateAt(functions, signer, 0);
  if (leaf == nullptr) return;
  verdict->signer = DescribeCertificate(leaf);
  for (DWORD i = 0; i < signer->csCertChain; ++i) {
    const PCCERT_CONTEXT certificate = CertificateAt(functions, signer, i);
    if (certificate != nullptr) verdict->chain.push_back(platform::CertificateCommonName(certificate, false));
  }
  if (signer->psSigner != nullptr) verdict->digestAlgorithm = DigestName(signer->psSigner->HashAlgorithm.pszObjId);
  CRYPT_PROVIDER_SGNR* counterSigner = functions.wtHelperGetProvSignerFromChain(providerData, 0, TRUE, 0);
  const PCCERT_CONTEXT authority = counterSigner == nullptr ? nullptr : CertificateAt(functions, counterSigner, 0);
  if (authority != nullptr) {
    verdict->timestamp =
        TimestampDetails{Rfc3339(counterSigner->sftVerifyAsOf), platform::CertificateCommonName(authority, false)};
  }
}

// Sends `request`, reads what its answer says into `verdict` and releases
// the state.
template <typename Request>
void Verify(TrustPlatform& platform, const TrustFunctions& functions, Request& request, FileVerdict* verdict) {
  verdict->status = static_cast<uint32_t>(functions.winVerifyTrustEx(nullptr, &request.action, &request.data));
  if (IsReadFailure(verdict->status)) {
    verdict->error = DescribeStatus(verdict->status).explanation;
  } else if (request.data.hWVTStateData != nullptr) {
    ReadSignerDetails(request.data.hWVTStateData, functions, verdict);
  }
  request.data.dwStateAction = WTD_STATEACTION_CLOSE;
  platform.CloseVerification(&request.action, &request.data);
}

}  // namespace

FileVerdict VerifyOneFile(TrustPlatform& platform, const TrustFunctions& functions, const WideString& path) {
  FileTrustRequest request(path.c_str());
  FileVerdict verdict;
  verdict.path = path;
  Verify(platform, functions, request, &verdict);
  return verdict;
}

FileVerdict VerifyCatalogMember(TrustPlatform& platform, const TrustFunctions& functions, const WideString& catalogPath,
                                const WideString& path) {
  FileVerdict verdict;
  verdict.path = path;
  platform::CatalogMember member;
  if (!platform::FindCatalogMember(catalogPath.c_str(), path.c_str(), &member, &verdict.status)) {
    if (IsReadFailure(verdict.status)) verdict.error = DescribeStatus(verdict.status).explanation;
  } else {
    CatalogMemberRequest request(catalogPath.c_str(), path.c_str(), member);
    Verify(platform, functions, request, &verdict);
  }
  // The signature that vouches for a member, when there is one, is the
  // catalog's. A member may carry a signature of its own, which the catalog
  // verdict does not look at: "not signed" would say too much.
  if (verdict.status == static_cast<uint32_t>(TRUST_E_NOSIGNATURE)) {
    verdict.explanation = "the catalog does not vouch for the file";
    // The subject type the service names is the catalog's, which says
    // nothing about a file it does not list.
    verdict.format.clear();
  } else if (verdict.error.empty() && verdict.status != static_cast<uint32_t>(TRUST_E_SUBJECT_FORM_UNKNOWN)) {
    verdict.format = "catalog";
  }
  return verdict;
}

FileVerdict UnreadableFile(const WideString& path, uint32_t status, const std::string& error) {
  FileVerdict verdict;
  verdict.path = path;
  verdict.status = status;
  verdict.error = error;
  return verdict;
}
