#include "wintrust/chain/certificate_bag.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "wintrust/base/library_context.h"

namespace wintrust {
namespace {

std::string_view View(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

CertificateBag::CertificateBag(const std::vector<ByteView>& elements) {
  std::unordered_set<std::string_view> seen;
  // Padding repeats a name for every impostor: each distinct name is
  // decoded and hashed once.
  std::unordered_map<std::string_view, std::optional<uint32_t>> hashOfName;
  for (ByteView der : elements) {
    CertificateFields fields;
    if (!ReadCertificateFields(der, &fields) || !seen.insert(View(der)).second) continue;
    auto [known, added] = hashOfName.try_emplace(View(fields.subject));
    if (added) known->second = NameHash(fields.subject);
    if (!known->second) continue;
    bySubjectHash_.emplace_back(*known->second, entries_.size());
    entries_.push_back(Entry{der, fields, nullptr, false});
  }
  std::sort(bySubjectHash_.begin(), bySubjectHash_.end());
}

X509* CertificateBag::Decode(Entry* entry) {
  if (!entry->tried) {
    entry->tried = true;
    entry->certificate = DecodeCertificate(entry->der);
    ++decoded_;
  }
  return entry->certificate.get();
}

std::span<const std::pair<uint32_t, size_t>> CertificateBag::Named(const X509_NAME* name) const {
  // Entries sort by hash, then by position: every position lies between
  // these two bounds. (Not std::ranges: the fuzzing build's clang cannot
  // read the standard library's ranges.)
  const uint32_t hash = NameHash(name);
  const auto begin =
      std::lower_bound(bySubjectHash_.begin(), bySubjectHash_.end(), std::pair<uint32_t, size_t>(hash, 0));
  const auto end = std::upper_bound(begin, bySubjectHash_.end(), std::pair<uint32_t, size_t>(hash, SIZE_MAX));
  return {begin, end};
}

X509* CertificateBag::WithIssuerAndSerial(ByteView issuer, ByteView serial) {
  const unsigned char* cursor = issuer.data();
  X509NamePtr issuerName(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(issuer.size())));
  if (!issuerName) return nullptr;
  for (Entry& entry : entries_) {
    // Serial numbers are compared as the minimal encodings OpenSSL insists
    // on; the names as OpenSSL compares them, once decoded.
    if (!SameBytes(entry.fields.serial, serial)) continue;
    X509* certificate = Decode(&entry);
    if (certificate != nullptr && X509_NAME_cmp(X509_get_issuer_name(certificate), issuerName.get()) == 0) {
      return certificate;
    }
  }
  return nullptr;
}

X509* CertificateBag::WithSubjectKeyId(ByteView keyId) {
  for (Entry& entry : entries_) {
    if (!SameBytes(entry.fields.subjectKeyId, keyId)) continue;
    X509* certificate = Decode(&entry);
    if (certificate == nullptr) continue;
    const ASN1_OCTET_STRING* decodedId = X509_get0_subject_key_id(certificate);
    if (decodedId != nullptr &&
        SameBytes(ByteView(ASN1_STRING_get0_data(decodedId), static_cast<size_t>(ASN1_STRING_length(decodedId))),
                  keyId)) {
      return certificate;
    }
  }
  return nullptr;
}

}  // namespace wintrust
