#include "wintrust/timestamp.h"

#include "wintrust/authenticode_digest.h"
#include "wintrust/chain_policy.h"
#include "wintrust/signer_check.h"

namespace wintrust {
namespace {

std::optional<time_t> Asn1TimeToEpoch(const ASN1_TIME* value) {
  struct tm broken {};
  if (value == nullptr || ASN1_TIME_to_tm(value, &broken) != 1) return std::nullopt;
  return timegm(&broken);
}

bool TimeStampChainValid(X509* signerCertificate, const std::vector<X509Ptr>& certificates, TrustAnchors* anchors,
                         time_t when) {
  ChainOutcome chain = VerifyChain(signerCertificate, certificates, anchors, when, RequiredUsage::kTimeStamping);
  return chain.status == 0;
}

// RFC 3161: a ContentInfo holding SignedData over a TSTInfo whose
// messageImprint is the digest of the countersigned signature value.
std::optional<time_t> CheckRfc3161(ByteView token, const SignerInfo& signer,
                                   const std::vector<X509Ptr>& outerCertificates, TrustAnchors* anchors) {
  SignedData signedData;
  if (ParseSignedData(token, &signedData) != DerError::kNone || !SameBytes(signedData.contentType, oid::kTstInfo) ||
      signedData.signers.empty() || signedData.signedContent.empty()) {
    return std::nullopt;
  }
  const unsigned char* cursor = signedData.signedContent.data();
  TsTstInfoPtr info(d2i_TS_TST_INFO(nullptr, &cursor, static_cast<long>(signedData.signedContent.size())));
  if (!info) return std::nullopt;
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  X509_ALGOR* algorithm = TS_MSG_IMPRINT_get_algo(imprint);
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  const EVP_MD* md = object ? EVP_get_digestbyobj(object) : nullptr;
  if (md == nullptr) return std::nullopt;
  auto expected = Digest(md, signer.signature);
  ASN1_OCTET_STRING* imprinted = TS_MSG_IMPRINT_get_msg(imprint);
  if (!expected || imprinted == nullptr ||
      !SameBytes(ByteView(ASN1_STRING_get0_data(imprinted), static_cast<size_t>(ASN1_STRING_length(imprinted))),
                 *expected)) {
    return std::nullopt;
  }
  auto when = Asn1TimeToEpoch(TS_TST_INFO_get_time(info.get()));
  if (!when) return std::nullopt;

  // The token usually carries the authority's certificates; the outer
  // message's serve too.
  std::vector<X509Ptr> certificates = ParseCertificates(signedData.certificates);
  for (const X509Ptr& certificate : outerCertificates) {
    if (X509_up_ref(certificate.get())) certificates.emplace_back(certificate.get());
  }
  const SignerInfo& tokenSigner = signedData.signers.front();
  X509* authority = FindSignerCertificate(tokenSigner, certificates);
  if (authority == nullptr || VerifySigner(tokenSigner, authority, signedData.signedContent) != SignerCheck::kOk ||
      !TimeStampChainValid(authority, certificates, anchors, *when)) {
    return std::nullopt;
  }
  return when;
}

// PKCS#9 counterSignature: a SignerInfo over the countersigned signature
// value, stating the time in its signingTime attribute.
std::optional<time_t> CheckLegacy(ByteView element, const SignerInfo& signer, const std::vector<X509Ptr>& certificates,
                                  TrustAnchors* anchors) {
  SignerInfo counterSigner;
  if (ParseSignerInfo(element, &counterSigner) != DerError::kNone || counterSigner.authAttributes.empty()) {
    return std::nullopt;
  }
  Tlv attributes;
  if (ReadTlv(counterSigner.authAttributes, &attributes) != DerError::kNone) {
    return std::nullopt;
  }
  std::vector<ByteView> times = AttributeValues(attributes.content, oid::kSigningTime);
  if (times.size() != 1) return std::nullopt;
  auto when = ReadAsn1Time(times[0]);
  X509* authority = FindSignerCertificate(counterSigner, certificates);
  if (!when || authority == nullptr || VerifySigner(counterSigner, authority, signer.signature) != SignerCheck::kOk ||
      !TimeStampChainValid(authority, certificates, anchors, *when)) {
    return std::nullopt;
  }
  return when;
}

}  // namespace

std::optional<time_t> ReadAsn1Time(ByteView element) {
  const unsigned char* cursor = element.data();
  Asn1TimePtr value(d2i_ASN1_TIME(nullptr, &cursor, static_cast<long>(element.size())));
  return Asn1TimeToEpoch(value.get());
}

std::optional<time_t> FindValidTimestamp(const SignerInfo& signer, const std::vector<X509Ptr>& certificates,
                                         TrustAnchors* anchors) {
  if (signer.unauthAttributes.empty()) return std::nullopt;
  // Each attempt may build a chain over all of the message's certificates,
  // so the number of attempts is bounded: otherwise a signature packed with
  // both countersignatures and certificates would cost their product.
  std::vector<ByteView> tokens = AttributeValues(signer.unauthAttributes, oid::kRfc3161CounterSign);
  for (size_t i = 0; i < tokens.size() && i < kMaxCountersignatureAttempts; ++i) {
    if (auto when = CheckRfc3161(tokens[i], signer, certificates, anchors)) return when;
  }
  std::vector<ByteView> legacy = AttributeValues(signer.unauthAttributes, oid::kCounterSignature);
  for (size_t i = 0; i < legacy.size() && i < kMaxCountersignatureAttempts; ++i) {
    if (auto when = CheckLegacy(legacy[i], signer, certificates, anchors)) return when;
  }
  return std::nullopt;
}

}  // namespace wintrust
