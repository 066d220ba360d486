// Certificate chain verification with OpenSSL and the mapping of its findings
// onto the statuses Windows' Authenticode policy gives, with the limits the
// root program sets on its roots. No revocation checking.
#pragma once

#include <ctime>
#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/base/statuses.h"
#include "wintrust/chain/chain_search.h"
#include "wintrust/roots/trust_anchors.h"

namespace wintrust {

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

// At most this many complete paths to an anchor are judged; the first that
// passes is the chain, otherwise the first one found.
constexpr size_t kMaxPathsJudged = 8;

// Builds and checks the chain from `leaf` through the certificates of
// `search`'s bag and of `extra` (those only this chain may use; may be null)
// to one of its anchors, with every certificate's validity judged at `when`.
// Each certificate below the root whose extended key usage extension is
// present must list the usage; a certificate without the extension allows
// any. A root of the program must be enabled for the usage, not disabled at
// `when`, and not have withdrawn the usage from certificates issued when the
// leaf was. When no path reaches an anchor, the chain OpenSSL builds from
// the bags is judged, to name what is wrong with it; once the search's
// budget has run out, a candidate was left untried and that chain gets
// TRUST_E_CERT_SIGNATURE, whatever OpenSSL finds in it. A
// certificate on the chain whose key Windows cannot load makes the chain's
// signature fail.
ChainOutcome VerifyChain(X509* leaf, ChainSearch* search, CertificateBag* extra, time_t when, RequiredUsage usage);

}  // namespace wintrust
