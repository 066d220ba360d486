// What the command tells about a certificate that the trust service handed
// back: names and thumbprint, read from the certificate's own bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/trust_api.h"

namespace platform {

// The common name of the certificate's subject, or of its issuer, as UTF-8;
// empty when the name has none or the certificate cannot be read.
std::string CertificateCommonName(PCCERT_CONTEXT certificate, bool ofIssuer);

// The SHA-1 of the whole encoded certificate; false when it cannot be had.
bool CertificateThumbprint(PCCERT_CONTEXT certificate, std::array<uint8_t, 20>* thumbprint);

// Adds the PEM certificates of the file `pemPath` to the roots the trust
// service accepts for the rest of this process, on top of those it already
// takes. Must be called before any verification starts. False, with the
// reason in `error`, when the file cannot be read or the platform offers no
// such thing.
bool AddTrustedRootsForThisRun(const std::string& pemPath, std::string* error);

}  // namespace platform
