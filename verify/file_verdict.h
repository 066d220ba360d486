// One file through the trust service, and what its answer says about the
// file's signer, chain and timestamp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"
#include "trust/trust_functions.h"
#include "trust/trust_platform.h"

struct CertificateDetails {
  std::string subject;  // common names, UTF-8
  std::string issuer;
  std::string serial;   // big-endian hexadecimal, as certificate viewers show it
  std::string sha1;     // the certificate's thumbprint
  std::string keyHash;  // SHA-1 of the public key bits, as the report shows it
};

struct TimestampDetails {
  std::string time;  // RFC 3339 UTC, "2024-01-02T00:00:00Z"
  std::string signer;
};

struct FileVerdict {
  WideString path;
  uint32_t status = 0;
  // Why the file could not be verified at all; empty for every file the
  // trust service gave a verdict on.
  std::string error;
  // What the status means for this file where its usual text would not
  // say it right; empty for the usual text.
  std::string explanation;
  std::string format;           // "pe", ...; empty when unknown
  std::string digestAlgorithm;  // "sha256", ...; empty when unknown
  // Whatever a signature that was read names, trusted or not.
  std::optional<CertificateDetails> signer;
  std::vector<std::string> chain;  // subject common names, signer first
  std::optional<TimestampDetails> timestamp;

  bool trusted() const { return status == 0 && error.empty(); }
};

// Verifies the file at `path` as the report's trust stage does (the same
// request to WinVerifyTrustEx, closed through the platform's load-time
// binding) and reads the details from the state it hands back, whether the
// file is trusted or not. All four `functions` must be non-null. Safe to call
// from several threads at once.
FileVerdict VerifyOneFile(TrustPlatform& platform, const TrustFunctions& functions, const WideString& path);

// The same for the file at `path` judged as a member of the catalog at
// `catalogPath`: trusted when the catalog lists the file's hash and the
// catalog's own signature is trusted, the signer then the catalog's;
// TRUST_E_NOSIGNATURE when the catalog does not list it.
FileVerdict VerifyCatalogMember(TrustPlatform& platform, const TrustFunctions& functions, const WideString& catalogPath,
                                const WideString& path);

// A verdict for a file that was not handed to the trust service because it
// cannot be: `status` is the Win32 error that stands for it.
FileVerdict UnreadableFile(const WideString& path, uint32_t status, const std::string& error);
