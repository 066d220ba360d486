// The certificates a signature carries, read the way a chain search needs
// them: counted and indexed by subject name from their raw bytes first, and
// decoded only when a chain tries one of them. A bag padded with
// thousands of certificates that could never be on a chain costs a walk
// over their names, not the decoding of their keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/certificate_names.h"
#include "wintrust/base/openssl_ptr.h"

namespace wintrust {

class CertificateBag {
 public:
  // `elements` (each a Certificate element) must outlive the bag; copies of
  // one certificate count once. An element that is not laid out as a
  // certificate is left out, as OpenSSL could not read it either.
  explicit CertificateBag(const std::vector<ByteView>& elements);
  CertificateBag(const CertificateBag&) = delete;
  CertificateBag& operator=(const CertificateBag&) = delete;

  // The distinct certificates, decoded or not.
  size_t size() const { return entries_.size(); }

  // The positions of the certificates whose subject name hashes as
  // `name`'s, in the bag's order, none of them decoded: a chain search
  // costs and orders them from their raw fields first. A few may carry
  // another name of the same hash; compare once decoded.
  // Each is a pair of the name's hash and the position.
  std::span<const std::pair<uint32_t, size_t>> Named(const X509_NAME* name) const;
  ByteView Der(size_t position) const { return entries_[position].der; }
  const CertificateFields& Fields(size_t position) const { return entries_[position].fields; }
  // The certificate at `position`, decoded now if it has not been tried
  // yet; null when OpenSSL cannot read it. It lives as long as the bag.
  X509* Decode(size_t position) { return Decode(&entries_[position]); }
  bool Tried(size_t position) const { return entries_[position].tried; }

  // The first certificate issued by `issuer` (a Name element) with serial
  // number `serial` (its content octets), or whose subject key identifier
  // is `keyId`; null when there is none.
  X509* WithIssuerAndSerial(ByteView issuer, ByteView serial);
  X509* WithSubjectKeyId(ByteView keyId);

  // How many certificates have been decoded so far.
  size_t decoded() const { return decoded_; }

 private:
  struct Entry {
    ByteView der;
    CertificateFields fields;
    X509Ptr certificate;
    bool tried = false;
  };
  X509* Decode(Entry* entry);

  std::vector<Entry> entries_;
  // The hash of each subject name and its position, sorted: one block of
  // memory however many names the bag holds.
  std::vector<std::pair<uint32_t, size_t>> bySubjectHash_;
  size_t decoded_ = 0;
};

}  // namespace wintrust
