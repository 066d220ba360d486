// Time-stamp countersignatures of an Authenticode signer: the legacy PKCS#9
// counterSignature and the RFC 3161 token Windows stores under
// 1.3.6.1.4.1.311.3.3.1. A countersignature counts only when its signature,
// its binding to the signer's signature value and its own chain (valid for
// time stamping, at the time it states) all check out.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/chain/chain_search.h"
#include "wintrust/signature/signed_data.h"

namespace wintrust {

// At most this many countersignatures of each kind are tried, counted over
// all the attributes of that kind together.
constexpr size_t kMaxCountersignatureAttempts = 8;

struct TimestampSearch {
  // The time stated by the first valid countersignature.
  std::optional<time_t> time;
  // The search stopped at a countersignature naming a digest algorithm (its
  // imprint's, its signer's) outside the digest policy: NTE_BAD_ALGID.
  bool unsupportedAlgorithm = false;
  // The chain of that countersignature's signer as it was judged, its
  // certificate first; empty without a valid countersignature.
  std::vector<X509Ptr> chain;
};

// Tries the countersignatures among the signer's unauthenticated
// attributes in order, the values of every RFC 3161 attribute first, then
// those of every legacy one (at most kMaxCountersignatureAttempts of each
// kind), until one is valid or one names an algorithm outside the digest
// policy; any other invalid one is passed over. Their chains are found by
// `search`, over the outer message's certificates (and a token's own), the
// search the signer's own chain shares.
TimestampSearch FindValidTimestamp(const SignerInfo& signer, ChainSearch* search);

// Reads a UTCTime or GeneralizedTime element as seconds since 1970 (UTC).
std::optional<time_t> ReadAsn1Time(ByteView element);

}  // namespace wintrust
