// The certificate's header brings in <windows.h> and <wintrust.h>, which
// must come before <wincrypt.h>.
#include "platform/certificate.h"

#include <wincrypt.h>

#include <vector>

#include "platform/utf8.h"

namespace platform {

std::string CertificateCommonName(PCCERT_CONTEXT certificate, bool ofIssuer) {
  if (certificate == nullptr) return {};
  const DWORD flags = ofIssuer ? CERT_NAME_ISSUER_FLAG : 0;
  char commonName[] = szOID_COMMON_NAME;
  const DWORD units = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, flags, commonName, nullptr, 0);
  if (units <= 1) return {};
  std::vector<wchar_t> text(units);
  CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, flags, commonName, text.data(), units);
  return EncodeUtf8(text.data(), units - 1);
}

bool CertificateThumbprint(PCCERT_CONTEXT certificate, std::array<uint8_t, 20>* thumbprint) {
  if (certificate == nullptr) return false;
  DWORD size = static_cast<DWORD>(thumbprint->size());
  return CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint->data(), &size) &&
         size == thumbprint->size();
}

bool AddTrustedRootsForThisRun(const std::string&, std::string* error) {
  // WinTrust takes its roots from the system's stores only; adding to them
  // would outlast this run and asks the user first.
  *error = "--roots is not available on Windows: add the roots to the certificate store instead";
  return false;
}

}  // namespace platform
