#include "wintrust/base/certificate_names.h"

#include "wintrust/base/der_reader.h"
#include "wintrust/base/openssl_ptr.h"

namespace wintrust {
namespace {

// subjectKeyIdentifier, 2.5.29.14.
constexpr uint8_t kSubjectKeyIdOid[] = {0x55, 0x1D, 0x0E};
constexpr uint8_t kExtensions = 0xA3;  // [3], constructed

// The key identifier among `extensions` (the content of the Extensions
// SEQUENCE); empty when none or more than one is there, as OpenSSL then
// reports none.
ByteView SubjectKeyId(ByteView extensions) {
  ByteView found;
  int count = 0;
  DerReader reader(extensions);
  Tlv extension;
  while (!reader.AtEnd() && reader.Expect(der::kSequence, &extension)) {
    DerReader fields(extension.content);
    Tlv oid, critical, value, keyId;
    if (!fields.Expect(der::kOid, &oid) || !SameBytes(oid.content, kSubjectKeyIdOid)) continue;
    ++count;
    if (fields.Optional(0x01, &critical) && fields.Expect(der::kOctetString, &value) &&
        ReadTlv(value.content, &keyId) == DerError::kNone && keyId.tag == der::kOctetString) {
      found = keyId.content;
    }
  }
  return count == 1 ? found : ByteView();
}

}  // namespace

bool ReadCertificateFields(ByteView der, CertificateFields* out) {
  // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version
  // OPTIONAL, serialNumber, signature, issuer, validity, subject,
  // subjectPublicKeyInfo, [1] [2] unique identifiers OPTIONAL,
  // [3] extensions OPTIONAL }, ... }
  Tlv certificate, tbs, version, serial, algorithm, issuer, validity, subject, key, unique, extensions, list;
  if (ReadTlv(der, &certificate) != DerError::kNone || certificate.tag != der::kSequence) return false;
  DerReader outer(certificate.content);
  if (!outer.Expect(der::kSequence, &tbs)) return false;
  DerReader fields(tbs.content);
  if (!fields.Optional(der::kContext0, &version) || !fields.Expect(der::kInteger, &serial) ||
      !fields.Expect(der::kSequence, &algorithm) || !fields.Expect(der::kSequence, &issuer) ||
      !fields.Expect(der::kSequence, &validity) || !fields.Expect(der::kSequence, &subject) ||
      !fields.Expect(der::kSequence, &key) || !fields.Optional(0x81, &unique) || !fields.Optional(0x82, &unique) ||
      !fields.Optional(kExtensions, &extensions)) {
    return false;
  }
  *out = CertificateFields{subject.whole, issuer.whole, serial.content, ByteView(), key.whole};
  if (!extensions.whole.empty() && ReadTlv(extensions.content, &list) == DerError::kNone &&
      list.tag == der::kSequence) {
    out->subjectKeyId = SubjectKeyId(list.content);
  }
  return true;
}

uint32_t NameHash(const X509_NAME* name) {
  int ok = 0;
  return static_cast<uint32_t>(X509_NAME_hash_ex(name, nullptr, nullptr, &ok));
}

std::optional<uint32_t> NameHash(ByteView nameElement) {
  const unsigned char* cursor = nameElement.data();
  X509NamePtr name(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(nameElement.size())));
  if (!name) return std::nullopt;
  return NameHash(name.get());
}

bool SelfIssued(X509* certificate) {
  return X509_NAME_cmp(X509_get_subject_name(certificate), X509_get_issuer_name(certificate)) == 0;
}

}  // namespace wintrust
