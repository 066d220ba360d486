#include "wintrust/signer_check.h"

#include "wintrust/authenticode_digest.h"

namespace wintrust {

std::vector<X509Ptr> ParseCertificates(const std::vector<ByteView>& elements) {
  std::vector<X509Ptr> certificates;
  for (ByteView element : elements) {
    const unsigned char* cursor = element.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(element.size())));
    if (certificate) certificates.push_back(std::move(certificate));
  }
  return certificates;
}

X509* FindSignerCertificate(const SignerInfo& signer, const std::vector<X509Ptr>& certificates) {
  if (!signer.subjectKeyId.empty()) {
    for (const X509Ptr& certificate : certificates) {
      const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(certificate.get());
      if (keyId != nullptr &&
          SameBytes(ByteView(ASN1_STRING_get0_data(keyId), static_cast<size_t>(ASN1_STRING_length(keyId))),
                    signer.subjectKeyId)) {
        return certificate.get();
      }
    }
    return nullptr;
  }
  const unsigned char* cursor = signer.issuer.data();
  X509NamePtr issuer(d2i_X509_NAME(nullptr, &cursor, static_cast<long>(signer.issuer.size())));
  cursor = signer.serialNumber.data();
  Asn1IntegerPtr serial(d2i_ASN1_INTEGER(nullptr, &cursor, static_cast<long>(signer.serialNumber.size())));
  if (!issuer || !serial) return nullptr;
  for (const X509Ptr& certificate : certificates) {
    if (X509_NAME_cmp(X509_get_issuer_name(certificate.get()), issuer.get()) == 0 &&
        ASN1_INTEGER_cmp(X509_get0_serialNumber(certificate.get()), serial.get()) == 0) {
      return certificate.get();
    }
  }
  return nullptr;
}

SignerCheck VerifySigner(const SignerInfo& signer, X509* certificate, ByteView content) {
  const EVP_MD* md = DigestForOid(signer.digestAlgorithm);
  if (md == nullptr) return SignerCheck::kUnsupportedDigest;

  // With authenticated attributes the signature covers their DER encoding as
  // a SET OF (the [0] IMPLICIT tag replaced by SET), and the content is bound
  // through the messageDigest attribute. Without them it covers the content.
  Bytes signedBytes;
  if (!signer.authAttributes.empty()) {
    Tlv attributes;
    if (ReadTlv(signer.authAttributes, &attributes) != DerError::kNone) {
      return SignerCheck::kDigestMismatch;
    }
    std::vector<ByteView> digests = AttributeValues(attributes.content, oid::kMessageDigest);
    Tlv value;
    auto expected = Digest(md, content);
    if (digests.size() != 1 || ReadTlv(digests[0], &value) != DerError::kNone || value.tag != der::kOctetString ||
        !expected || !SameBytes(value.content, *expected)) {
      return SignerCheck::kDigestMismatch;
    }
    signedBytes.assign(signer.authAttributes.begin(), signer.authAttributes.end());
    signedBytes[0] = der::kSet;
  } else {
    signedBytes.assign(content.begin(), content.end());
  }

  EVP_PKEY* key = X509_get0_pubkey(certificate);
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (key == nullptr || !context || EVP_DigestVerifyInit(context.get(), nullptr, md, nullptr, key) != 1) {
    return SignerCheck::kBadSignature;
  }
  int verified = EVP_DigestVerify(context.get(), signer.signature.data(), signer.signature.size(), signedBytes.data(),
                                  signedBytes.size());
  return verified == 1 ? SignerCheck::kOk : SignerCheck::kBadSignature;
}

}  // namespace wintrust
