#include "trust/verify_signature.h"

#include <cstddef>
#include <cstdint>

#include "report/report_log.h"
#include "sha1/sha1.h"

namespace {

// The four statuses the trust service names, from TRUST_E_PROVIDER_UNKNOWN on.
constexpr uint32_t kFirstNamedStatus = 0x800B0001;
constexpr const WideChar* kNamedStatuses[] = {
    WIDE("TRUST_E_PROVIDER_UNKNOWN"),
    WIDE("TRUST_E_ACTION_UNKNOWN"),
    WIDE("TRUST_E_SUBJECT_FORM_UNKNOWN"),
    WIDE("TRUST_E_SUBJECT_NOT_TRUSTED"),
};

// WINTRUST_DATA as far as dwUIContext: the request form without the later
// signature settings, which this check does not use.
constexpr DWORD kRequestSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);

void WriteStatus(HRESULT status) {
  LogWrite(WIDE("WinVerifyTrustEx Error hr="));
  const uint32_t index = static_cast<uint32_t>(status) - kFirstNamedStatus;
  if (index < std::size(kNamedStatuses)) {
    LogWrite(kNamedStatuses[index]);
  } else {
    LogPrintf(true, WIDE("%8.8x"), {static_cast<uint32_t>(status)});
  }
}

// Writes the key hash line for the verified state; false with the failing
// lookup's text when the state does not lead to a certificate.
bool ReportSignerKey(HANDLE state, const TrustFunctions& functions) {
  CRYPT_PROVIDER_DATA* providerData = functions.wtHelperProvDataFromStateData(state);
  if (providerData == nullptr) {
    LogWrite(WIDE("WTHelperProvDataFromStateData fail"));
    return false;
  }
  CRYPT_PROVIDER_SGNR* signer = functions.wtHelperGetProvSignerFromChain(providerData, 0, FALSE, 0);
  if (signer == nullptr) {
    LogWrite(WIDE("WTHelperGetProvSignerFromChain fail"));
    return false;
  }
  CRYPT_PROVIDER_CERT* certificate = functions.wtHelperGetProvCertFromChain(signer, 0);
  if (certificate == nullptr) {
    LogWrite(WIDE("WTHelperGetProvCertFromChain fail"));
    return false;
  }
  if (certificate->pCert == nullptr) {
    LogWrite(WIDE("UnexceptData pCert"));
    return false;
  }
  if (certificate->pCert->pCertInfo == nullptr) {
    LogWrite(WIDE("UnexceptData pCert->pCertInfo"));
    return false;
  }

  const CRYPT_BIT_BLOB& key = certificate->pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  Sha1Hasher hasher = {};
  hasher.Init();
  hasher.Reset();
  hasher.Update(key.pbData, key.cbData);
  uint8_t digest[20];
  hasher.Final(digest);
  WideChar text[41];
  DigestToHex(digest, text);
  LogPrintf(true, WIDE("PublicKeyHash: %s"), {text});
  return true;
}

}  // namespace

bool VerifyFileSignature(TrustPlatform& platform, const WideChar* path, const TrustFunctions& functions) {
  // WINTRUST_ACTION_GENERIC_VERIFY_V2
  GUID action = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path;

  WINTRUST_DATA request = {};
  request.cbStruct = kRequestSize;
  request.dwUIChoice = WTD_UI_NONE;
  request.fdwRevocationChecks = WTD_REVOKE_NONE;
  request.dwUnionChoice = WTD_CHOICE_FILE;
  request.pFile = &file;
  request.dwStateAction = WTD_STATEACTION_VERIFY;
  request.dwUIContext = WTD_UICONTEXT_EXECUTE;

  bool verified = false;
  const HRESULT status = functions.winVerifyTrustEx(nullptr, &action, &request);
  if (status != 0) {
    WriteStatus(status);
  } else {
    verified = ReportSignerKey(request.hWVTStateData, functions);
  }

  request.dwStateAction = WTD_STATEACTION_CLOSE;
  platform.CloseVerification(&action, &request);
  return verified;
}

void RunVerificationStep(TrustPlatform& platform, const WideChar* path, const TrustFunctions& functions) {
  if (functions.winVerifyTrustEx == nullptr || functions.wtHelperProvDataFromStateData == nullptr ||
      functions.wtHelperGetProvSignerFromChain == nullptr || functions.wtHelperGetProvCertFromChain == nullptr) {
    return;
  }
  if (VerifyFileSignature(platform, path, functions)) LogWrite(WIDE("CHECK SUCCESS"));
}
