// What a certificate says about names before it is decoded: the fields of
// its DER that tell which certificates could issue which, read without
// decoding keys or extensions, and the one hash of a name that the bags and
// the anchors index by.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <optional>

#include "wintrust/base/byte_view.h"

namespace wintrust {

struct CertificateFields {
  ByteView subject;  // the Name elements, whole
  ByteView issuer;
  ByteView serial;         // the serial number's content octets
  ByteView subjectKeyId;   // the key identifier's octets; empty without
                           // exactly one subjectKeyIdentifier extension
  ByteView publicKeyInfo;  // the SubjectPublicKeyInfo element, whole
};

// Reads the fields of the Certificate element at the start of `der`; false
// when it is not laid out as a certificate.
bool ReadCertificateFields(ByteView der, CertificateFields* out);

// OpenSSL's hash of a name's canonical form (X509_NAME_hash_ex): names
// equal under X509_NAME_cmp hash alike, whatever their string types, case
// and spacing.
uint32_t NameHash(const X509_NAME* name);
// The same for a Name element; nothing when OpenSSL cannot read it.
std::optional<uint32_t> NameHash(ByteView nameElement);

// Whether the certificate names itself as its issuer.
bool SelfIssued(X509* certificate);

}  // namespace wintrust
