// Names and one-line explanations of the statuses the trust service gives.
#pragma once

#include <cstdint>
#include <string>

struct StatusText {
  std::string name;         // "CERT_E_UNTRUSTEDROOT"; "0x800b0109"-less
  std::string explanation;  // one line, no end of line
};

// The platform's name of `status` and what it means for the file. A status
// outside the table gets the name "UNKNOWN_STATUS" and a generic text.
StatusText DescribeStatus(uint32_t status);

// Whether `status` says the file could not be read at all (a Win32 error,
// which WinTrust returns as it is for files it cannot open or read), rather
// than a verdict on its signature.
bool IsReadFailure(uint32_t status);
