#include "trust/verify_signature.h"

#include <cstddef>
#include <cstdint>

#include "report/report_log.h"
#include "sha1/sha1.h"
#include "trust/file_request.h"
#include "trust/public_key_hash.h"

namespace {

// The four statuses the trust service names, from TRUST_E_PROVIDER_UNKNOWN on.
constexpr uint32_t kFirstNamedStatus = 0x800B0001;
constexpr const WideChar* kNamedStatuses[] = {
    WIDE("TRUST_E_PROVIDER_UNKNOWN"),
    WIDE("TRUST_E_ACTION_UNKNOWN"),
    WIDE("TRUST_E_SUBJECT_FORM_UNKNOWN"),
    WIDE("TRUST_E_SUBJECT_NOT_TRUSTED"),
};

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

  uint8_t digest[20];
  HashPublicKey(*certificate->pCert->pCertInfo, digest);
  WideChar text[41];
  DigestToHex(digest, text);
  LogPrintf(true, WIDE("PublicKeyHash: %s"), {text});
  return true;
}

}  // namespace

bool VerifyFileSignature(TrustPlatform& platform, const WideChar* path, const TrustFunctions& functions) {
  FileTrustRequest request(path);

  bool verified = false;
  const HRESULT status = functions.winVerifyTrustEx(nullptr, &request.action, &request.data);
  if (status != 0) {
    WriteStatus(status);
  } else {
    verified = ReportSignerKey(request.data.hWVTStateData, functions);
  }

  request.data.dwStateAction = WTD_STATEACTION_CLOSE;
  platform.CloseVerification(&request.action, &request.data);
  return verified;
}

void RunVerificationStep(TrustPlatform& platform, const WideChar* path, const TrustFunctions& functions) {
  if (functions.winVerifyTrustEx == nullptr || functions.wtHelperProvDataFromStateData == nullptr ||
      functions.wtHelperGetProvSignerFromChain == nullptr || functions.wtHelperGetProvCertFromChain == nullptr) {
    return;
  }
  if (VerifyFileSignature(platform, path, functions)) LogWrite(WIDE("CHECK SUCCESS"));
}
