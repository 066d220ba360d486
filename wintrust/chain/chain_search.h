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
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/chain/certificate_bag.h"
#include "wintrust/chain/public_key_decoder.h"
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
  // the search. Every candidate from a bag costs its decoding and every
  // signature check one public-key operation, taken from `budget`: a bag
  // built so that many candidates fail against many issuers would otherwise
  // cost their product. Once it is spent no further candidate is tried, and
  // no chain is trusted (see chain_policy.h).
  ChainSearch(CertificateBag* bag, TrustAnchors* anchors, SignatureBudget* budget);

  // A path from the leaf to a self-issued anchor, the leaf first. From the
  // first certificate with several candidate issuers up, every signature
  // along it verified; below that, OpenSSL checks them.
  using Path = std::vector<X509*>;

  // Calls `visit` with each path from `leaf`, depth first. The candidates
  // for each issuer come in this order: the anchors; then, from `extra`
  // (certificates only this chain may use, such as a time-stamp token's
  // own; may be null) and the bag, first those already on a path whose
  // signatures verified, then the rest by the cost of a check with their
  // key, read from its raw bytes, cheapest first, and in the bags' order
  // among equals. So no
  // number of costly keys placed ahead of an ordinary issuer is tried
  // before it. Stops when `visit` returns true, when no candidate is left or
  // when the budget is spent. A candidate of a bag is paid for before
  // anything of it is decoded: first its key, decoded from its raw bytes,
  // and the check with it; then, only when that verifies, its
  // certificate. So a bag the budget cannot pay for is never decoded whole,
  // and padding whose keys verify nothing is never decoded as certificates.
  // A candidate whose key Windows cannot load, or whose key identifier is
  // not the one its child names, is no candidate and costs nothing. Each
  // certificate is expanded once per call.
  void ForEachPath(X509* leaf, CertificateBag* extra, const std::function<bool(const Path&)>& visit);

  // Records that every signature along `path` verified (whatever else the
  // policy found, such as a time outside a validity): its issuers come
  // first wherever they are candidates again.
  void RememberSigned(const Path& path);

  // The certificates of `extra` and the bag that could be on a chain from
  // `leaf`: the issuers of `leaf` by name, theirs, and so on, each once;
  // those the budget cannot pay to decode are left out.
  std::vector<X509*> NamedIssuersAbove(X509* leaf, CertificateBag* extra);

  CertificateBag* bag() const { return bag_; }
  TrustAnchors* anchors() const { return anchors_; }
  const SignatureBudget* budget() const { return budget_; }

 private:
  // An anchor, or a certificate of `extra` or the bag, which is decoded
  // only when it is tried.
  struct Candidate {
    X509* certificate;     // an anchor's, or a bag's once decoded
    CertificateBag* from;  // the bag that holds it; null for an anchor
    size_t position;       // in `from`
    bool anchor;
    uint64_t cost;  // SignatureCheckCost
    std::string_view keyBits;
    bool proven;
  };
  struct KeyFacts {
    std::optional<uint64_t> cost;  // SignatureCheckCost
    std::string_view keyBits;      // the public key's bit string
  };
  // The facts of an anchor's key, and of a key in the bag, worked out once
  // (a padded bag offers the same candidates to every chain).
  const KeyFacts& AnchorFacts(X509* anchor);
  KeyFacts BagFacts(CertificateBag* from, size_t position);
  std::vector<Candidate> Candidates(X509* child, CertificateBag* extra);
  // Decodes a candidate of a bag, paying for it first; null when the
  // budget cannot pay (nothing is taken then), or when it is not the issuer
  // by name and key identifier after all.
  X509* PayToDecode(const Candidate& candidate, X509* child);
  // Extends `path` by each candidate issuer of its last certificate; `chosen`
  // when a choice between candidates was made below it. True when the
  // search is to stop.
  bool Extend(Path* path, bool chosen, CertificateBag* extra, std::set<X509*>* expanded,
              const std::function<bool(const Path&)>& visit);

  CertificateBag* bag_;
  TrustAnchors* anchors_;
  SignatureBudget* budget_;
  PublicKeyDecoder& keys_ = PublicKeyDecoder::ForThisThread();
  // The outcome of each check paid for, by the child's SHA-256 and then the
  // issuer's key bits: the certificates of a time-stamp token do not outlive
  // its chain, so they are not named by address.
  std::map<std::string, std::map<std::string, bool, std::less<>>> verified_;
  std::unordered_map<X509*, KeyFacts> anchorFacts_;
  std::vector<std::optional<KeyFacts>> bagFacts_;
  // The keys of the issuers on paths whose signatures verified.
  std::set<std::string, std::less<>> provenKeys_;
};

}  // namespace wintrust
