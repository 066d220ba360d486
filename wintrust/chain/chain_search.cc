#include "wintrust/chain/chain_search.h"

#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>

namespace wintrust {
namespace {

std::string KeyBits(X509* certificate) {
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate);
  if (bits == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(bits)),
                     static_cast<size_t>(ASN1_STRING_length(bits)));
}

std::string Sha256Of(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

ChainSearch::ChainSearch(CertificateBag* bag, TrustAnchors* anchors, SignatureBudget* budget)
    : bag_(bag), anchors_(anchors), budget_(budget) {}

const ChainSearch::KeyFacts& ChainSearch::FactsOf(X509* certificate, bool lasting, KeyFacts* scratch) {
  if (lasting) {
    auto [found, added] = lastingFacts_.try_emplace(certificate);
    if (added) found->second = {SignatureCheckCost(X509_get0_pubkey(certificate)), KeyBits(certificate)};
    return found->second;
  }
  *scratch = {SignatureCheckCost(X509_get0_pubkey(certificate)), KeyBits(certificate)};
  return *scratch;
}

std::vector<ChainSearch::Candidate> ChainSearch::Candidates(X509* child, CertificateBag* extra) {
  const X509_NAME* issuerName = X509_get_issuer_name(child);
  std::vector<Candidate> candidates;
  for (X509* root : anchors_->WithSubject(issuerName)) candidates.push_back({root, true, true, 0, false});
  // A token's certificate that the message carries too is one candidate.
  auto sameCertificate = [](X509* a, X509* b) { return X509_cmp(a, b) < 0; };
  std::set<X509*, decltype(sameCertificate)> fromExtra(sameCertificate);
  if (extra != nullptr) {
    for (X509* certificate : extra->WithSubject(issuerName)) {
      if (fromExtra.insert(certificate).second) candidates.push_back({certificate, false, false, 0, false});
    }
  }
  for (X509* certificate : bag_->WithSubject(issuerName)) {
    if (fromExtra.empty() || fromExtra.count(certificate) == 0)
      candidates.push_back({certificate, false, true, 0, false});
  }
  // An authority key identifier that names another key rules the candidate
  // out; a missing keyCertSign does not, the policy reports it. A key
  // Windows cannot load verifies nothing, and is not worth a check.
  std::erase_if(candidates, [&](Candidate& candidate) {
    KeyFacts scratch;
    const KeyFacts& facts = FactsOf(candidate.certificate, candidate.lasting, &scratch);
    if (!facts.cost) return true;
    candidate.cost = *facts.cost;
    candidate.proven = !candidate.anchor && provenKeys_.count(facts.keyBits) != 0;
    int issued = X509_check_issued(candidate.certificate, child);
    return issued != X509_V_OK && issued != X509_V_ERR_KEYUSAGE_NO_CERTSIGN;
  });
  // Anyone can add certificates to the bag, anywhere in it: an order that
  // follows the bag would let padding ahead of the real issuer spend the
  // budget before it is reached.
  std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    if (a.anchor != b.anchor) return a.anchor;
    if (a.proven != b.proven) return a.proven;
    return a.cost < b.cost;
  });
  return candidates;
}

bool ChainSearch::PayOnceToCheckSignature(const Candidate& issuer, X509* child, const std::string& childId) {
  KeyFacts scratch;
  const KeyFacts& facts = FactsOf(issuer.certificate, issuer.lasting, &scratch);
  // Copies of an issuer with the same key verify alike.
  auto key = std::make_pair(childId, facts.keyBits);
  auto known = verified_.find(key);
  if (known != verified_.end()) return known->second;
  if (!facts.cost || !budget_->Spend(*facts.cost)) return false;
  bool signs = X509_verify(child, X509_get0_pubkey(issuer.certificate)) == 1;
  verified_.emplace(std::move(key), signs);
  return signs;
}

bool ChainSearch::Extend(Path* path, bool chosen, CertificateBag* extra, std::set<X509*>* expanded,
                         const std::function<bool(const Path&)>& visit) {
  X509* child = path->back();
  if (!expanded->insert(child).second || path->size() >= kMaxPathLength) return false;
  std::vector<Candidate> candidates = Candidates(child, extra);
  chosen = chosen || candidates.size() > 1;
  std::string childId = chosen ? Sha256Of(child) : std::string();
  for (const Candidate& candidate : candidates) {
    bool onPath = std::any_of(path->begin(), path->end(), [&](X509* member) {
      return member == candidate.certificate ||
             (X509_NAME_cmp(X509_get_subject_name(member), X509_get_subject_name(candidate.certificate)) == 0 &&
              X509_cmp(member, candidate.certificate) == 0);
    });
    if (onPath) continue;
    // Until a choice between candidates has been made, a lone candidate
    // needs no check here: OpenSSL checks every signature of the path it is
    // given, and a bad one gets the same status as the chain built from the
    // bag would. After a choice, every step is checked, so a wrong choice
    // is undone here instead of costing a judged path.
    if (chosen && (childId.empty() || !PayOnceToCheckSignature(candidate, child, childId))) continue;
    path->push_back(candidate.certificate);
    bool stop = candidate.anchor && SelfIssued(candidate.certificate) ? visit(*path)
                                                                      : Extend(path, chosen, extra, expanded, visit);
    path->pop_back();
    if (stop) return true;
  }
  return false;
}

void ChainSearch::ForEachPath(X509* leaf, CertificateBag* extra, const std::function<bool(const Path&)>& visit) {
  Path path{leaf};
  std::set<X509*> expanded;
  Extend(&path, false, extra, &expanded, visit);
}

void ChainSearch::RememberSigned(const Path& path) {
  for (size_t i = 1; i < path.size(); ++i) provenKeys_.insert(KeyBits(path[i]));
}

std::vector<X509*> ChainSearch::NamedIssuersAbove(X509* leaf, CertificateBag* extra) {
  std::vector<X509*> reached{leaf};
  std::set<X509*> seen{leaf};
  // Padding names one issuer many times; each name is looked up once.
  std::map<uint32_t, std::vector<const X509_NAME*>> namesLookedUp;
  for (size_t next = 0; next < reached.size(); ++next) {
    const X509_NAME* name = X509_get_issuer_name(reached[next]);
    std::vector<const X509_NAME*>& sameHash = namesLookedUp[NameHash(name)];
    bool known = std::any_of(sameHash.begin(), sameHash.end(),
                             [&](const X509_NAME* other) { return X509_NAME_cmp(other, name) == 0; });
    if (known) continue;
    sameHash.push_back(name);
    for (CertificateBag* from : {extra, bag_}) {
      if (from == nullptr) continue;
      for (X509* issuer : from->WithSubject(name)) {
        if (seen.insert(issuer).second) reached.push_back(issuer);
      }
    }
  }
  reached.erase(reached.begin());
  return reached;
}

}  // namespace wintrust
