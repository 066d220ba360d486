#include "wintrust/signature/timestamp.h"

#include "wintrust/chain/chain_policy.h"
#include "wintrust/signature/digest_policy.h"
#include "wintrust/signature/signer_check.h"

namespace wintrust {
namespace {

std::optional<time_t> Asn1TimeToEpoch(const ASN1_TIME* value) {
  struct tm broken {};
  if (value == nullptr || ASN1_TIME_to_tm(value, &broken) != 1) return std::nullopt;
  return timegm(&broken);
}

// A countersignature whose signer check came out as `check`: valid at `when`
// when that signer verifies and its chain holds for time stamping.
TimestampSearch Judge(SignerCheck check, X509* authority, ChainSearch* search, CertificateBag* extra, time_t when) {
  if (check == SignerCheck::kUnsupportedDigest) return TimestampSearch{std::nullopt, true, {}};
  if (check != SignerCheck::kOk) return {};
  ChainOutcome chain = VerifyChain(authority, search, extra, when, RequiredUsage::kTimeStamping);
  if (chain.status != 0) return {};
  return TimestampSearch{when, false, std::move(chain.chain)};
}

// RFC 3161: a ContentInfo holding SignedData over a TSTInfo whose
// messageImprint is the digest of the countersigned signature value.
TimestampSearch CheckRfc3161(ByteView token, const SignerInfo& signer, ChainSearch* search) {
  SignedData signedData;
  if (ParseSignedData(token, &signedData) != DerError::kNone || !SameBytes(signedData.contentType, oid::kTstInfo) ||
      signedData.signers.empty() || signedData.signedContent.empty()) {
    return {};
  }
  const unsigned char* cursor = signedData.contentElement.data();
  TsTstInfoPtr info(d2i_TS_TST_INFO(nullptr, &cursor, static_cast<long>(signedData.contentElement.size())));
  if (!info) return {};
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  X509_ALGOR* algorithm = TS_MSG_IMPRINT_get_algo(imprint);
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  if (object == nullptr || OBJ_length(object) == 0) return {};
  const EVP_MD* md = DigestForOid(ByteView(OBJ_get0_data(object), OBJ_length(object)));
  if (md == nullptr) return TimestampSearch{std::nullopt, true, {}};
  auto expected = Digest(md, signer.signature);
  ASN1_OCTET_STRING* imprinted = TS_MSG_IMPRINT_get_msg(imprint);
  if (!expected || imprinted == nullptr ||
      !SameBytes(ByteView(ASN1_STRING_get0_data(imprinted), static_cast<size_t>(ASN1_STRING_length(imprinted))),
                 *expected)) {
    return {};
  }
  auto when = Asn1TimeToEpoch(TS_TST_INFO_get_time(info.get()));
  if (!when) return {};

  // The token usually carries the authority's certificates; the outer
  // message's serve too, after them.
  CertificateBag tokenCertificates(signedData.certificates);
  const SignerInfo& tokenSigner = signedData.signers.front();
  X509* authority = FindSignerCertificate(tokenSigner, &tokenCertificates);
  if (authority == nullptr) authority = FindSignerCertificate(tokenSigner, search->bag());
  if (authority == nullptr) return {};
  return Judge(VerifySigner(tokenSigner, authority, signedData.signedContent), authority, search, &tokenCertificates,
               *when);
}

// PKCS#9 counterSignature: a SignerInfo over the countersigned signature
// value, stating the time in its signingTime attribute. Its RSA signature
// may hold the bare digest of its attributes, as many authorities' of the
// years around 2010 do; nothing else about it is read more leniently.
TimestampSearch CheckLegacy(ByteView element, const SignerInfo& signer, ChainSearch* search) {
  SignerInfo counterSigner;
  if (ParseSignerInfo(element, &counterSigner) != DerError::kNone || counterSigner.authAttributes.empty()) {
    return {};
  }
  Tlv attributes;
  if (ReadTlv(counterSigner.authAttributes, &attributes) != DerError::kNone) return {};
  std::vector<ByteView> times = AttributeValues(attributes.content, oid::kSigningTime);
  if (times.size() != 1) return {};
  auto when = ReadAsn1Time(times[0]);
  X509* authority = FindSignerCertificate(counterSigner, search->bag());
  if (!when || authority == nullptr) return {};
  return Judge(VerifySigner(counterSigner, authority, signer.signature, RsaPayload::kDigestInfoOrBareDigest), authority,
               search, nullptr, *when);
}

}  // namespace

std::optional<time_t> ReadAsn1Time(ByteView element) {
  const unsigned char* cursor = element.data();
  Asn1TimePtr value(d2i_ASN1_TIME(nullptr, &cursor, static_cast<long>(element.size())));
  return Asn1TimeToEpoch(value.get());
}

TimestampSearch FindValidTimestamp(const SignerInfo& signer, ChainSearch* search) {
  if (signer.unauthAttributes.empty()) return {};
  // Each attempt may build a chain over all of the message's certificates,
  // so the number of attempts is bounded, over all attributes of a kind
  // together: otherwise a signature packed with both countersignatures and
  // certificates would cost their product.
  for (ByteView token :
       AllAttributeValues(signer.unauthAttributes, oid::kRfc3161CounterSign, kMaxCountersignatureAttempts)) {
    TimestampSearch found = CheckRfc3161(token, signer, search);
    if (found.time || found.unsupportedAlgorithm) return found;
  }
  for (ByteView element :
       AllAttributeValues(signer.unauthAttributes, oid::kCounterSignature, kMaxCountersignatureAttempts)) {
    TimestampSearch found = CheckLegacy(element, signer, search);
    if (found.time || found.unsupportedAlgorithm) return found;
  }
  return {};
}

}  // namespace wintrust
