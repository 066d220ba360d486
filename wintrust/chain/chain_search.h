// Finds the paths from a certificate up to a trust anchor the way Windows'
// chain engine does: when several certificates could be the issuer (the
// same subject without key identifiers, cross-certificates, a copy someone
// added to the unsigned bag), one whose key does not verify the signature
// below it is passed over and the next is tried.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/chain/signature_budget.h"
#include "wintrust/roots/trust_anchors.h"

namespace wintrust {

// Longer chains than this are not followed.
constexpr size_t kMaxPathLength = 16;

class ChainSearch {
 public:
  // `bag` (the message's certificates), `anchors` and `budget` must outlive
  // the search. Every signature check costs one public-key operation, taken
  // from `budget`: a bag built so that many candidates fail against many
  // issuers would otherwise cost their product. Once it is spent no further
  // candidate is tried, and the chain is judged as OpenSSL builds it from
  // the whole bag.
  ChainSearch(const std::vector<X509Ptr>& bag, TrustAnchors* anchors, SignatureBudget* budget);

  // A path from the leaf to a self-issued anchor, the leaf first. From the
  // first certificate with several candidate issuers up, every signature
  // along it verified; below that, OpenSSL checks them.
  using Path = std::vector<X509*>;

  // Calls `visit` with each path from `leaf`, depth first, the candidates
  // for each issuer in this order: the anchors, then the bag in its order.
  // Stops when `visit` returns true, when no candidate is left or when the
  // budget of signature checks is spent. A candidate whose key Windows
  // cannot load is no candidate. Each certificate is expanded once.
  void ForEachPath(X509* leaf, const std::function<bool(const Path&)>& visit);

 private:
  struct Candidate {
    X509* certificate;
    bool anchor;
  };
  std::vector<Candidate> Candidates(X509* child);
  bool Signs(X509* issuer, X509* child);
  // Extends `path` by each candidate issuer of its last certificate; `chosen`
  // when a choice between candidates was made below it. True when the
  // search is to stop.
  bool Extend(Path* path, bool chosen, const std::function<bool(const Path&)>& visit);

  TrustAnchors* anchors_;
  SignatureBudget* budget_;
  // The bag without copies, in its order, and its positions by the hash of
  // each certificate's subject name.
  std::vector<X509*> bag_;
  std::unordered_multimap<uint32_t, size_t> bagBySubject_;
  std::set<X509*> expanded_;
  std::map<std::pair<X509*, std::string>, bool> verified_;
};

}  // namespace wintrust
