#include "wintrust/chain/chain_search.h"

#include <openssl/x509v3.h>

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "wintrust/base/der_reader.h"
#include "wintrust/base/library_context.h"

namespace wintrust {
namespace {

std::string_view View(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string_view KeyBits(X509* certificate) {
  const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate);
  if (bits == nullptr) return {};
  return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(bits)), static_cast<size_t>(ASN1_STRING_length(bits))};
}

// The public key's bit string within a SubjectPublicKeyInfo element, without
// its unused-bits octet, as OpenSSL holds it once decoded.
std::string_view KeyBits(ByteView publicKeyInfo) {
  Tlv info, algorithm, key;
  if (ReadTlv(publicKeyInfo, &info) != DerError::kNone) return {};
  DerReader fields(info.content);
  if (!fields.Expect(der::kSequence, &algorithm) || !fields.Expect(der::kBitString, &key) || key.content.empty()) {
    return {};
  }
  return View(key.content.subspan(1));
}

// The key identifier `child` names for its issuer; empty when it names none.
ByteView AuthorityKeyId(X509* child) {
  const ASN1_OCTET_STRING* id = X509_get0_authority_key_id(child);
  if (id == nullptr) return {};
  return {ASN1_STRING_get0_data(id), static_cast<size_t>(ASN1_STRING_length(id))};
}

// Whether `issuer` could have issued `child` by name and key identifier. The
// bags are indexed by name hashes, so a name of the same hash is no issuer;
// a missing keyCertSign does not rule a candidate out, the policy reports it.
bool Issues(X509* issuer, X509* child) {
  if (X509_NAME_cmp(X509_get_subject_name(issuer), X509_get_issuer_name(child)) != 0) return false;
  int issued = X509_check_issued(issuer, child);
  return issued == X509_V_OK || issued == X509_V_ERR_KEYUSAGE_NO_CERTSIGN;
}

std::string Sha256Of(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, ThreadDigest(EVP_sha256()), digest, &length) != 1) return {};
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

ChainSearch::ChainSearch(CertificateBag* bag, TrustAnchors* anchors, SignatureBudget* budget)
    : bag_(bag), anchors_(anchors), budget_(budget), bagFacts_(bag->size()) {}

const ChainSearch::KeyFacts& ChainSearch::AnchorFacts(X509* anchor) {
  auto [found, added] = anchorFacts_.try_emplace(anchor);
  if (added) found->second = {SignatureCheckCost(anchor), KeyBits(anchor)};
  return found->second;
}

ChainSearch::KeyFacts ChainSearch::BagFacts(CertificateBag* from, size_t position) {
  auto work = [&] {
    ByteView info = from->Fields(position).publicKeyInfo;
    return KeyFacts{SignatureCheckCost(info), KeyBits(info)};
  };
  if (from != bag_) return work();
  std::optional<KeyFacts>& facts = bagFacts_[position];
  if (!facts) facts = work();
  return *facts;
}

std::vector<ChainSearch::Candidate> ChainSearch::Candidates(X509* child, CertificateBag* extra) {
  const X509_NAME* issuerName = X509_get_issuer_name(child);
  ByteView authorityKeyId = AuthorityKeyId(child);
  std::vector<Candidate> candidates;
  for (X509* root : anchors_->WithSubject(issuerName)) {
    const KeyFacts& facts = AnchorFacts(root);
    if (!facts.cost || !Issues(root, child)) continue;
    candidates.push_back({root, nullptr, 0, true, *facts.cost, facts.keyBits, false});
  }
  // A token's certificate that the message carries too is one candidate.
  std::unordered_set<std::string_view> fromExtra;
  for (CertificateBag* from : {extra, bag_}) {
    if (from == nullptr) continue;
    auto named = from->Named(issuerName);
    candidates.reserve(candidates.size() + named.size());
    for (auto [hash, position] : named) {
      if (from == bag_ && fromExtra.count(View(from->Der(position))) != 0) continue;
      if (from == extra) fromExtra.insert(View(from->Der(position)));
      // An authority key identifier that names another key rules the
      // candidate out, as X509_check_issued would once it is decoded; a key
      // Windows cannot load verifies nothing. Neither is worth decoding.
      ByteView keyId = from->Fields(position).subjectKeyId;
      if (!authorityKeyId.empty() && !keyId.empty() && !SameBytes(keyId, authorityKeyId)) continue;
      KeyFacts facts = BagFacts(from, position);
      if (!facts.cost) continue;
      // One whose key the budget can no longer pay to decode and check will
      // not be tried: once the budget is spent, the candidates are only
      // those decoded already.
      if (!from->Tried(position) && !budget_->CanPay(kKeyDecodingCost + *facts.cost)) continue;
      X509* decoded = from->Tried(position) ? from->Decode(position) : nullptr;
      if (from->Tried(position) && (decoded == nullptr || !Issues(decoded, child))) continue;
      bool proven = provenKeys_.count(facts.keyBits) != 0;
      candidates.push_back({decoded, from, position, false, *facts.cost, facts.keyBits, proven});
    }
  }
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

X509* ChainSearch::PayToDecode(const Candidate& candidate, X509* child) {
  if (!budget_->Spend(kDecodingCost)) return nullptr;
  X509* certificate = candidate.from->Decode(candidate.position);
  return certificate != nullptr && Issues(certificate, child) ? certificate : nullptr;
}

bool ChainSearch::Extend(Path* path, bool chosen, CertificateBag* extra, std::set<X509*>* expanded,
                         const std::function<bool(const Path&)>& visit) {
  X509* child = path->back();
  if (!expanded->insert(child).second || path->size() >= kMaxPathLength) return false;
  std::vector<Candidate> candidates = Candidates(child, extra);
  chosen = chosen || candidates.size() > 1;
  std::string childId = chosen ? Sha256Of(child) : std::string();
  if (chosen && childId.empty()) return false;
  // Copies of an issuer with the same key verify alike.
  std::map<std::string, bool, std::less<>>* checked = chosen ? &verified_[childId] : nullptr;
  for (const Candidate& candidate : candidates) {
    // Once the budget is spent, the padding left is passed over at once.
    if (chosen && candidate.certificate == nullptr && !budget_->CanPay(kKeyDecodingCost + candidate.cost)) continue;
    // Until a choice between candidates has been made, a lone candidate
    // needs no check here: OpenSSL checks every signature of the path it is
    // given, and a bad one gets the same status as the chain built from the
    // bag would. After a choice, every step is checked, so a wrong choice
    // is undone here instead of costing a judged path.
    std::optional<bool> known;
    if (checked != nullptr) {
      auto found = checked->find(candidate.keyBits);
      if (found != checked->end()) known = found->second;
    }
    if (known == false) continue;
    X509* issuer = candidate.certificate;
    if (issuer == nullptr) {
      // A candidate of a bag is checked with its key, decoded from its raw
      // bytes, before its certificate is decoded: padding whose keys do not
      // verify the child is never decoded.
      if (chosen && !known) {
        if (!budget_->Spend(kKeyDecodingCost + candidate.cost)) continue;
        EvpPkeyPtr key = keys_.Decode(candidate.from->Fields(candidate.position).publicKeyInfo);
        known = key != nullptr && X509_verify(child, key.get()) == 1;
        checked->emplace(candidate.keyBits, *known);
        if (!*known) continue;
      }
      issuer = PayToDecode(candidate, child);
      if (issuer == nullptr) continue;
    }
    bool onPath = std::any_of(path->begin(), path->end(), [&](X509* member) {
      return member == issuer || (X509_NAME_cmp(X509_get_subject_name(member), X509_get_subject_name(issuer)) == 0 &&
                                  X509_cmp(member, issuer) == 0);
    });
    if (onPath) continue;
    if (chosen && !known) {
      if (!budget_->Spend(candidate.cost)) continue;
      bool signs = X509_verify(child, X509_get0_pubkey(issuer)) == 1;
      checked->emplace(candidate.keyBits, signs);
      if (!signs) continue;
    }
    path->push_back(issuer);
    bool stop = candidate.anchor && SelfIssued(issuer) ? visit(*path) : Extend(path, chosen, extra, expanded, visit);
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
  for (size_t i = 1; i < path.size(); ++i) provenKeys_.emplace(KeyBits(path[i]));
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
      for (auto [hash, position] : from->Named(name)) {
        if (!from->Tried(position) && !budget_->Spend(kDecodingCost)) continue;
        X509* issuer = from->Decode(position);
        if (issuer != nullptr && X509_NAME_cmp(X509_get_subject_name(issuer), name) == 0 &&
            seen.insert(issuer).second) {
          reached.push_back(issuer);
        }
      }
    }
  }
  reached.erase(reached.begin());
  return reached;
}

}  // namespace wintrust
