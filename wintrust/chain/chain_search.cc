#include "wintrust/chain/chain_search.h"

#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>

namespace wintrust {
namespace {

uint32_t NameHash(const X509_NAME* name) {
  int ok = 0;
  return static_cast<uint32_t>(X509_NAME_hash_ex(name, nullptr, nullptr, &ok));
}

bool SelfIssued(X509* certificate) {
  return X509_NAME_cmp(X509_get_subject_name(certificate), X509_get_issuer_name(certificate)) == 0;
}

std::string KeyBits(X509* certificate) {
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate);
  if (bits == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(bits)),
                     static_cast<size_t>(ASN1_STRING_length(bits)));
}

}  // namespace

ChainSearch::ChainSearch(const std::vector<X509Ptr>& bag, TrustAnchors* anchors, SignatureBudget* budget)
    : anchors_(anchors), budget_(budget) {
  // Copies of one certificate are one candidate.
  auto sameCertificate = [](X509* a, X509* b) { return X509_cmp(a, b) < 0; };
  std::set<X509*, decltype(sameCertificate)> seen(sameCertificate);
  for (const X509Ptr& certificate : bag) {
    if (!seen.insert(certificate.get()).second) continue;
    bagBySubject_.emplace(NameHash(X509_get_subject_name(certificate.get())), bag_.size());
    bag_.push_back(certificate.get());
  }
}

std::vector<ChainSearch::Candidate> ChainSearch::Candidates(X509* child) {
  const X509_NAME* issuerName = X509_get_issuer_name(child);
  std::vector<Candidate> candidates;
  for (X509* root : anchors_->WithSubject(issuerName)) candidates.push_back({root, true});
  auto [first, last] = bagBySubject_.equal_range(NameHash(issuerName));
  std::vector<size_t> fromBag;
  for (auto it = first; it != last; ++it) {
    if (X509_NAME_cmp(X509_get_subject_name(bag_[it->second]), issuerName) == 0) fromBag.push_back(it->second);
  }
  // The multimap does not keep the bag's order.
  std::sort(fromBag.begin(), fromBag.end());
  for (size_t index : fromBag) candidates.push_back({bag_[index], false});
  // An authority key identifier that names another key rules the candidate
  // out; a missing keyCertSign does not, the policy reports it. A key
  // Windows cannot load verifies nothing, and is not worth a check.
  std::erase_if(candidates, [child](const Candidate& candidate) {
    if (!SignatureCheckCost(X509_get0_pubkey(candidate.certificate))) return true;
    int issued = X509_check_issued(candidate.certificate, child);
    return issued != X509_V_OK && issued != X509_V_ERR_KEYUSAGE_NO_CERTSIGN;
  });
  return candidates;
}

bool ChainSearch::Signs(X509* issuer, X509* child) {
  // Copies of an issuer with the same key verify alike.
  auto key = std::make_pair(child, KeyBits(issuer));
  auto known = verified_.find(key);
  if (known != verified_.end()) return known->second;
  EVP_PKEY* publicKey = X509_get0_pubkey(issuer);
  std::optional<uint64_t> cost = SignatureCheckCost(publicKey);
  if (!cost || !budget_->Spend(*cost)) return false;
  bool signs = X509_verify(child, publicKey) == 1;
  verified_.emplace(std::move(key), signs);
  return signs;
}

bool ChainSearch::Extend(Path* path, bool chosen, const std::function<bool(const Path&)>& visit) {
  X509* child = path->back();
  if (!expanded_.insert(child).second || path->size() >= kMaxPathLength) return false;
  std::vector<Candidate> candidates = Candidates(child);
  chosen = chosen || candidates.size() > 1;
  for (const Candidate& candidate : candidates) {
    bool onPath = std::any_of(path->begin(), path->end(),
                              [&](X509* member) { return X509_cmp(member, candidate.certificate) == 0; });
    if (onPath) continue;
    // Until a choice between candidates has been made, a lone candidate
    // needs no check here: OpenSSL checks every signature of the path it is
    // given, and a bad one gets the same status as the chain built from the
    // whole bag would. After a choice, every step is checked, so a wrong
    // choice is undone here instead of costing a judged path.
    if (chosen && !Signs(candidate.certificate, child)) continue;
    path->push_back(candidate.certificate);
    bool stop = candidate.anchor && SelfIssued(candidate.certificate) ? visit(*path) : Extend(path, chosen, visit);
    path->pop_back();
    if (stop) return true;
  }
  return false;
}

void ChainSearch::ForEachPath(X509* leaf, const std::function<bool(const Path&)>& visit) {
  Path path{leaf};
  Extend(&path, false, visit);
}

}  // namespace wintrust
