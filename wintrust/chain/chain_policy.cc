#include "wintrust/chain/chain_policy.h"

#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>

#include "wintrust/base/library_context.h"
#include "wintrust/chain/chain_search.h"

namespace wintrust {
namespace {

// What the chain builder found, whatever the order it found it in.
enum Finding : unsigned {
  kSignature = 1u << 0,
  kUntrustedRoot = 1u << 1,
  kPartialChain = 1u << 2,
  kTime = 1u << 3,
  kBasicConstraints = 1u << 4,
  kCriticalExtension = 1u << 5,
  kOther = 1u << 6,
};

unsigned Classify(int error) {
  switch (error) {
    case X509_V_OK:
      return 0;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return kSignature;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return kUntrustedRoot;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      return kPartialChain;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return kTime;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      return kBasicConstraints;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
      return kCriticalExtension;
    default:
      return kOther;
  }
}

// A root is trusted as a root whatever its extensions say: roots from before
// the basic constraints extension (or with its withdrawn early form) are no
// CA to OpenSSL, but Windows' chain engine does not hold a root to them.
bool RootWithoutCaConstraint(X509_STORE_CTX* context) {
  X509* certificate = X509_STORE_CTX_get_current_cert(context);
  return X509_STORE_CTX_get_error(context) == X509_V_ERR_INVALID_CA && certificate != nullptr &&
         SelfIssued(certificate);
}

int CollectFindings(int ok, X509_STORE_CTX* context) {
  if (!ok && !RootWithoutCaConstraint(context)) {
    auto* findings = static_cast<unsigned*>(X509_STORE_CTX_get_app_data(context));
    *findings |= Classify(X509_STORE_CTX_get_error(context));
  }
  // Go on regardless, as Windows' chain engine does: every problem of the
  // chain is collected, and the policy below decides which one is reported.
  return 1;
}

uint8_t UsageBit(RequiredUsage usage) {
  return usage == RequiredUsage::kCodeSigning ? kUsageCodeSigning : kUsageTimeStamping;
}

int64_t NotBefore(X509* certificate) {
  struct tm broken {};
  if (ASN1_TIME_to_tm(X509_get0_notBefore(certificate), &broken) != 1) return 0;
  return timegm(&broken);
}

bool AllowsUsage(X509* certificate, RequiredUsage usage) {
  if ((X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) == 0) return true;
  uint32_t wanted = usage == RequiredUsage::kCodeSigning ? XKU_CODE_SIGN : XKU_TIMESTAMP;
  return (X509_get_extended_key_usage(certificate) & wanted) != 0;
}

// Lets OpenSSL build and check the chain from `leaf` through `untrusted` to
// an anchor of `store`, and judges what it found.
ChainOutcome JudgeChain(X509* leaf, const std::vector<X509*>& untrusted, X509_STORE* store, TrustAnchors* anchors,
                        time_t when, RequiredUsage usage) {
  ChainOutcome outcome;
  X509StackPtr bag(sk_X509_new_null());
  X509StoreCtxPtr context(X509_STORE_CTX_new_ex(ThreadLibraryContext(), nullptr));
  if (!bag || !context) {
    outcome.status = E_OUTOFMEMORY;
    return outcome;
  }
  for (X509* certificate : untrusted) {
    if (!X509_up_ref(certificate)) continue;
    if (!sk_X509_push(bag.get(), certificate)) X509_free(certificate);
  }
  unsigned findings = 0;
  if (X509_STORE_CTX_init(context.get(), store, leaf, bag.get()) != 1) {
    outcome.status = E_OUTOFMEMORY;
    return outcome;
  }
  X509_STORE_CTX_set_app_data(context.get(), &findings);
  X509_STORE_CTX_set_verify_cb(context.get(), CollectFindings);
  X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(context.get()), when);
  if (X509_verify_cert(context.get()) != 1 && findings == 0) {
    // Failed without naming a certificate problem: the chain could not be
    // built at all.
    findings |= kPartialChain;
  }

  if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get())) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      X509* certificate = sk_X509_value(chain, i);
      if (X509_up_ref(certificate)) outcome.chain.emplace_back(certificate);
    }
  }
  if (outcome.chain.empty()) {
    if (X509_up_ref(leaf)) outcome.chain.emplace_back(leaf);
  }

  bool wrongUsage = false;
  for (size_t i = 0; i < outcome.chain.size(); ++i) {
    X509* certificate = outcome.chain[i].get();
    bool isRoot = i + 1 == outcome.chain.size() && i > 0 && SelfIssued(certificate);
    if (!isRoot && !AllowsUsage(certificate, usage)) wrongUsage = true;
    if (i > 0 && !SignatureCheckCost(certificate)) findings |= kSignature;
  }
  outcome.rootTrusted = (findings & (kUntrustedRoot | kPartialChain)) == 0;
  if (outcome.rootTrusted) {
    if (const RootLimits* limits = anchors->LimitsOf(outcome.chain.back().get())) {
      switch (JudgeRoot(*limits, UsageBit(usage), when, NotBefore(leaf))) {
        case RootVerdict::kTrusted:
          break;
        case RootVerdict::kNotForUsage:
          wrongUsage = true;
          break;
        case RootVerdict::kDisabled:
          findings |= kUntrustedRoot;
          outcome.rootTrusted = false;
          break;
      }
    }
  }

  // The order in which Windows' base chain policy reports a chain's errors.
  if (findings & kSignature) {
    outcome.status = TRUST_E_CERT_SIGNATURE;
  } else if (findings & kUntrustedRoot) {
    outcome.status = CERT_E_UNTRUSTEDROOT;
  } else if (findings & kPartialChain) {
    outcome.status = CERT_E_CHAINING;
  } else if (findings & kTime) {
    outcome.status = CERT_E_EXPIRED;
  } else if (findings & kBasicConstraints) {
    outcome.status = TRUST_E_BASIC_CONSTRAINTS;
  } else if (findings & kCriticalExtension) {
    outcome.status = CERT_E_CRITICAL;
  } else if (wrongUsage) {
    outcome.status = CERT_E_WRONG_USAGE;
  } else if (findings & kOther) {
    // A problem with no counterpart among the chain statuses above: the
    // chain is not one Windows would build.
    outcome.status = CERT_E_CHAINING;
  }
  return outcome;
}

X509StorePtr StoreOf(const std::vector<X509*>& roots) {
  X509StorePtr store(X509_STORE_new());
  if (!store) return nullptr;
  for (X509* root : roots) X509_STORE_add_cert(store.get(), root);
  return store;
}

}  // namespace

ChainOutcome VerifyChain(X509* leaf, ChainSearch* search, CertificateBag* extra, time_t when, RequiredUsage usage) {
  TrustAnchors* anchors = search->anchors();
  std::optional<ChainOutcome> chosen;
  size_t judged = 0;
  search->ForEachPath(leaf, extra, [&](const ChainSearch::Path& path) {
    // OpenSSL is given exactly this path: its middle as the bag, its root
    // as the only anchor.
    X509StorePtr store = StoreOf({path.back()});
    if (!store) return false;
    std::vector<X509*> middle(path.begin() + 1, path.end() - 1);
    ChainOutcome outcome = JudgeChain(leaf, middle, store.get(), anchors, when, usage);
    bool passes = outcome.status == 0;
    if (outcome.status != TRUST_E_CERT_SIGNATURE) search->RememberSigned(path);
    if (!chosen || passes) chosen = std::move(outcome);
    return passes || ++judged == kMaxPathsJudged;
  });
  if (chosen) return std::move(*chosen);

  // No path reaches an anchor: the chain as OpenSSL builds it from the bag,
  // with every anchor that could issue one of its certificates, says what
  // is wrong (an untrusted root, a missing issuer, a bad signature). Only
  // the certificates whose names could put them on a chain are handed to
  // it; OpenSSL would pass over the others anyway.
  std::vector<X509*> bag = search->NamedIssuersAbove(leaf, extra);
  std::vector<X509*> roots = anchors->WithSubject(X509_get_issuer_name(leaf));
  for (X509* certificate : bag) {
    for (X509* root : anchors->WithSubject(X509_get_issuer_name(certificate))) roots.push_back(root);
  }
  std::sort(roots.begin(), roots.end());
  roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
  X509StorePtr store = StoreOf(roots);
  if (!store) {
    ChainOutcome outcome;
    outcome.status = E_OUTOFMEMORY;
    return outcome;
  }
  ChainOutcome outcome = JudgeChain(leaf, bag, store.get(), anchors, when, usage);
  // A search cut short by the budget left candidates untried: one of them
  // may have been the issuer, and OpenSSL may even pass a chain through one
  // whose step above it went unchecked. What could not be paid for does not
  // verify.
  if (search->budget()->exhausted()) outcome.status = TRUST_E_CERT_SIGNATURE;
  return outcome;
}

}  // namespace wintrust
