// Certificate chain verification with OpenSSL and the mapping of its findings
// onto the statuses Windows' Authenticode policy gives. No revocation checking.
#pragma once

#include <ctime>
#include <vector>

#include "wintrust/openssl_ptr.h"
#include "wintrust/wintrust.h"

namespace wintrust {

// The trust anchors: OpenSSL's defaults, that is the system store, or what
// the SSL_CERT_FILE and SSL_CERT_DIR environment variables name instead.
// Read anew for each verification. Null only when OpenSSL fails.
X509StorePtr LoadDefaultTrustStore();

enum class RequiredUsage { kCodeSigning, kTimeStamping };

struct ChainOutcome {
  // 0, or the first of these that applies: TRUST_E_CERT_SIGNATURE,
  // CERT_E_UNTRUSTEDROOT, CERT_E_CHAINING, CERT_E_EXPIRED,
  // TRUST_E_BASIC_CONSTRAINTS, CERT_E_CRITICAL, CERT_E_WRONG_USAGE.
  HRESULT status = 0;
  // The chain as far as it was built, the leaf first.
  std::vector<X509Ptr> chain;
  bool rootTrusted = false;
};

// Builds and checks the chain from `leaf` through `intermediates` to an anchor
// of `store`, with every certificate's validity judged at `when`. Each
// certificate below the root whose extended key usage extension is present
// must list the usage; a certificate without the extension allows any.
ChainOutcome VerifyChain(X509* leaf, const std::vector<X509Ptr>& intermediates, X509_STORE* store, time_t when,
                         RequiredUsage usage);

}  // namespace wintrust
