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

#include "wintrust/openssl_ptr.h"
#include "wintrust/signed_data.h"
#include "wintrust/trust_anchors.h"

namespace wintrust {

// At most this many countersignatures of each kind are tried.
constexpr size_t kMaxCountersignatureAttempts = 8;

// The time stated by the first valid countersignature among the signer's
// unauthenticated attributes, RFC 3161 tokens first (only the first
// kMaxCountersignatureAttempts of each kind); nothing when none is valid.
// `certificates` are those of the outer message.
std::optional<time_t> FindValidTimestamp(const SignerInfo& signer, const std::vector<X509Ptr>& certificates,
                                         TrustAnchors* anchors);

// Reads a UTCTime or GeneralizedTime element as seconds since 1970 (UTC).
std::optional<time_t> ReadAsn1Time(ByteView element);

}  // namespace wintrust
