#include "wintrust/signature/signer_check.h"

#include <openssl/rsa.h>

#include <optional>

#include "wintrust/base/library_context.h"
#include "wintrust/signature/digest_policy.h"
#include "wintrust/signature/rsassa_pss.h"

namespace wintrust {

std::vector<X509Ptr> ParseCertificates(const std::vector<ByteView>& elements) {
  std::vector<X509Ptr> certificates;
  for (ByteView element : elements) {
    X509Ptr certificate = DecodeCertificate(element);
    if (certificate) certificates.push_back(std::move(certificate));
  }
  return certificates;
}

X509* FindSignerCertificate(const SignerInfo& signer, CertificateBag* certificates) {
  if (!signer.subjectKeyId.empty()) return certificates->WithSubjectKeyId(signer.subjectKeyId);
  Tlv serial;
  if (ReadTlv(signer.serialNumber, &serial) != DerError::kNone) return nullptr;
  return certificates->WithIssuerAndSerial(signer.issuer, serial.content);
}

namespace {

// Whether the RSA PKCS#1 v1.5 `signature` by `key` holds, after its padding,
// exactly the `md` digest of `signedBytes` and nothing else.
bool HoldsBareDigest(EVP_PKEY* key, const EVP_MD* md, ByteView signedBytes, ByteView signature) {
  auto digest = Digest(md, signedBytes);
  // No digest is set on the context: the payload is compared with the
  // digest as it stands, length included.
  EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(ThreadLibraryContext(), key, nullptr));
  return digest && context && EVP_PKEY_verify_init(context.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) > 0 &&
         EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest->data(), digest->size()) == 1;
}

}  // namespace

SignerCheck VerifySigner(const SignerInfo& signer, X509* certificate, ByteView content, RsaPayload rsaPayload) {
  const EVP_MD* md = DigestForOid(signer.digestAlgorithm);
  if (md == nullptr) return SignerCheck::kUnsupportedDigest;
  // RSASSA-PSS names its own hash, mask hash and salt; every other
  // algorithm signs with the signer's digest and the key's own scheme
  // (PKCS#1 v1.5 for RSA, ECDSA).
  std::optional<PssParameters> pss;
  if (IsRsassaPss(signer.signatureAlgorithm)) {
    PssParameters parameters;
    switch (ReadPssParameters(signer.signatureParameters, &parameters)) {
      case PssRead::kOk:
        pss = parameters;
        break;
      case PssRead::kUnsupportedDigest:
        return SignerCheck::kUnsupportedDigest;
      case PssRead::kMalformed:
        return SignerCheck::kBadSignature;
    }
  }

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
  EVP_PKEY_CTX* keyContext = nullptr;
  if (key == nullptr || !context ||
      EVP_DigestVerifyInit_ex(context.get(), &keyContext, EVP_MD_get0_name(pss ? pss->hash : md),
                              ThreadLibraryContext(), nullptr, key, nullptr) != 1) {
    return SignerCheck::kBadSignature;
  }
  if (pss && (EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) <= 0 ||
              EVP_PKEY_CTX_set_rsa_mgf1_md(keyContext, pss->maskHash) <= 0 ||
              EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, pss->saltLength) <= 0)) {
    return SignerCheck::kBadSignature;
  }
  int verified = EVP_DigestVerify(context.get(), signer.signature.data(), signer.signature.size(), signedBytes.data(),
                                  signedBytes.size());
  if (verified == 1) return SignerCheck::kOk;
  if (rsaPayload == RsaPayload::kDigestInfoOrBareDigest && !pss && EVP_PKEY_get_id(key) == EVP_PKEY_RSA &&
      HoldsBareDigest(key, md, signedBytes, signer.signature)) {
    return SignerCheck::kOk;
  }
  return SignerCheck::kBadSignature;
}

}  // namespace wintrust
