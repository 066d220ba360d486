// Finds the paths from a certificate up to a trust anchor the way Windows'
// chain engine does: when several certificates could be the issuer (the
// same subject without key identifiers, cross-certificates, a copy someone
// added to the unsigned bag), one whose key does not verify the signature
// below it is passed over and the next is tried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/chain/certificate_bag.h"
#include "wintrust/chain/signature_budget.h"
#include "wintrust/roots/trust_anchors.h"

namespace wintrust {

// Longer chains than this are not followed.
constexpr size_t kMaxPathLength = 16;

// One search serves every chain of a verification (the signer's and each
// countersignature's): the bag's index, the signature checks already paid
// for and the issuers already proven are shared by them all.
class ChainSearch {
 public:
  // `bag` (the message's certificates), `anchors` and `budget` must outlive
  // the search. Every signature check costs one public-key operation, taken
  // from `budget`: a bag built so that many candidates fail against many
  // issuers would otherwise cost their product. Once it is spent no further
  // candidate is tried, and the chain is judged as OpenSSL builds it from
  // the bag.
  ChainSearch(CertificateBag* bag, TrustAnchors* anchors, SignatureBudget* budget);

  // A path from the leaf to a self-issued anchor, the leaf first. From the
  // first certificate with several candidate issuers up, every signature
  // along it verified; below that, OpenSSL checks them.
  using Path = std::vector<X509*>;

  // Calls `visit` with each path from `leaf`, depth first. The candidates
  // for each issuer come in this order: the anchors; then, from `extra`
  // (certificates only this chain may use, such as a time-stamp token's
  // own; may be null) and the bag, first those already on a path whose
  // signatures verified, then the rest by the cost of checking a signature with their
  // key, cheapest first, and in the bags' order among equals. So no number
  // of costly keys placed ahead of an ordinary issuer is tried before it.
  // Stops when `visit` returns true, when no candidate is left or when the
  // budget of signature checks is spent. A candidate whose key Windows
  // cannot load is no candidate. Each certificate is expanded once per call.
  void ForEachPath(X509* leaf, CertificateBag* extra, const std::function<bool(const Path&)>& visit);

  // Records that every signature along `path` verified (whatever else the
  // policy found, such as a time outside a validity): its issuers come
  // first wherever they are candidates again.
  void RememberSigned(const Path& path);

  // The certificates of `extra` and the bag that could be on a chain from
  // `leaf`: the issuers of `leaf` by name, theirs, and so on, each once.
  std::vector<X509*> NamedIssuersAbove(X509* leaf, CertificateBag* extra);

  CertificateBag* bag() const { return bag_; }
  TrustAnchors* anchors() const { return anchors_; }

 private:
  struct Candidate {
    X509* certificate;
    bool anchor;
    bool lasting;  // an anchor or the bag's: lives as long as the search
    uint64_t cost;
    bool proven;
  };
  struct KeyFacts {
    std::optional<uint64_t> cost;  // SignatureCheckCost
    std::string keyBits;
  };
  // The facts of `certificate`'s key, worked out once for a lasting one
  // (a padded bag offers the same candidates to every chain), into
  // `scratch` for another.
  const KeyFacts& FactsOf(X509* certificate, bool lasting, KeyFacts* scratch);
  std::vector<Candidate> Candidates(X509* child, CertificateBag* extra);
  // Whether `issuer`'s key verifies `child`'s signature (`childId` its
  // digest). The first check of a pair of certificate and key is paid from
  // the budget and remembered; false, unpaid, when the budget cannot pay.
  bool PayOnceToCheckSignature(const Candidate& issuer, X509* child, const std::string& childId);
  // Extends `path` by each candidate issuer of its last certificate; `chosen`
  // when a choice between candidates was made below it. True when the
  // search is to stop.
  bool Extend(Path* path, bool chosen, CertificateBag* extra, std::set<X509*>* expanded,
              const std::function<bool(const Path&)>& visit);

  CertificateBag* bag_;
  TrustAnchors* anchors_;
  SignatureBudget* budget_;
  // The outcome of each check paid for, by the child's SHA-256 and the
  // issuer's key: the certificates of a time-stamp token do not outlive its
  // chain, so they are not named by address.
  std::map<std::pair<std::string, std::string>, bool> verified_;
  std::unordered_map<X509*, KeyFacts> lastingFacts_;
  // The keys of the issuers on paths whose signatures verified.
  std::set<std::string> provenKeys_;
};

}  // namespace wintrust
