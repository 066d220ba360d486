#include "wintrust/signature/signed_data.h"

namespace wintrust {
namespace oid {
namespace {
constexpr uint8_t kSpcIndirectDataBytes[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};
constexpr uint8_t kTrustListBytes[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x0A, 0x01};
constexpr uint8_t kMessageDigestBytes[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
constexpr uint8_t kSigningTimeBytes[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
constexpr uint8_t kCounterSignatureBytes[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x06};
constexpr uint8_t kRfc3161CounterSignBytes[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x03, 0x03, 0x01};
constexpr uint8_t kTstInfoBytes[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x10, 0x01, 0x04};
}  // namespace
const ByteView kSpcIndirectData(kSpcIndirectDataBytes);
const ByteView kTrustList(kTrustListBytes);
const ByteView kMessageDigest(kMessageDigestBytes);
const ByteView kSigningTime(kSigningTimeBytes);
const ByteView kCounterSignature(kCounterSignatureBytes);
const ByteView kRfc3161CounterSign(kRfc3161CounterSignBytes);
const ByteView kTstInfo(kTstInfoBytes);
}  // namespace oid

namespace {

// AlgorithmIdentifier ::= SEQUENCE { algorithm OID, parameters ANY OPTIONAL }
bool ReadAlgorithm(DerReader* reader, ByteView* algorithm, ByteView* parameters = nullptr) {
  Tlv sequence, identifier, parameter;
  if (!reader->Expect(der::kSequence, &sequence)) return false;
  DerReader inner(sequence.content);
  if (!inner.Expect(der::kOid, &identifier)) return false;
  *algorithm = identifier.content;
  if (parameters != nullptr && !inner.AtEnd()) {
    if (!inner.Next(&parameter)) return false;
    *parameters = parameter.whole;
  }
  return true;
}

// The value of an OCTET STRING sent in segments (BER): each segment must be a
// primitive OCTET STRING, as CER requires; segments that are themselves
// segmented are refused, which keeps the join a single loop.
DerError JoinSegments(ByteView segments, Bytes* out) {
  DerReader reader(segments);
  while (!reader.AtEnd()) {
    Tlv segment;
    if (!reader.Expect(der::kOctetString, &segment)) return reader.error();
    out->insert(out->end(), segment.content.begin(), segment.content.end());
  }
  return DerError::kNone;
}

// Calls `found` with the values of each attribute of type `type` in the
// content of a SET OF Attribute, in order, until it answers false. False
// when the set is malformed.
template <typename Found>
bool ForEachAttribute(ByteView attributes, ByteView type, Found found) {
  DerReader reader(attributes);
  while (!reader.AtEnd()) {
    // Attribute ::= SEQUENCE { attrType OID, attrValues SET OF ANY }
    Tlv attribute, attributeType, values;
    if (!reader.Expect(der::kSequence, &attribute)) return false;
    DerReader inner(attribute.content);
    if (!inner.Expect(der::kOid, &attributeType) || !inner.Expect(der::kSet, &values)) {
      return false;
    }
    if (!SameBytes(attributeType.content, type)) continue;
    std::vector<ByteView> valueList;
    DerReader valueReader(values.content);
    while (!valueReader.AtEnd()) {
      Tlv value;
      if (!valueReader.Next(&value)) return false;
      valueList.push_back(value.whole);
    }
    if (!found(valueList)) return true;
  }
  return true;
}

DerError Error(const DerReader& reader) {
  return reader.error() == DerError::kNone ? DerError::kBadTag : reader.error();
}

}  // namespace

DerError ParseSignerInfo(ByteView element, SignerInfo* out) {
  *out = SignerInfo{};
  Tlv signerInfo;
  DerError error = ReadTlv(element, &signerInfo);
  if (error != DerError::kNone) return error;
  if (signerInfo.tag != der::kSequence) return DerError::kBadTag;
  DerReader reader(signerInfo.content);
  Tlv version, identifier, attributes, signature, unauthenticated;
  if (!reader.Expect(der::kInteger, &version)) return Error(reader);
  if (reader.PeekTag() == der::kContext0Primitive) {
    if (!reader.Next(&identifier)) return Error(reader);
    out->subjectKeyId = identifier.content;
  } else {
    // IssuerAndSerialNumber ::= SEQUENCE { issuer Name, serialNumber INTEGER }
    if (!reader.Expect(der::kSequence, &identifier)) return Error(reader);
    DerReader inner(identifier.content);
    Tlv issuer, serial;
    if (!inner.Expect(der::kSequence, &issuer) || !inner.Expect(der::kInteger, &serial)) {
      return Error(inner);
    }
    out->issuer = issuer.whole;
    out->serialNumber = serial.whole;
  }
  if (!ReadAlgorithm(&reader, &out->digestAlgorithm) || !reader.Optional(der::kContext0, &attributes) ||
      !ReadAlgorithm(&reader, &out->signatureAlgorithm, &out->signatureParameters) ||
      !reader.Expect(der::kOctetString, &signature) || !reader.Optional(der::kContext1, &unauthenticated)) {
    return Error(reader);
  }
  out->authAttributes = attributes.whole;
  out->signature = signature.content;
  out->unauthAttributes = unauthenticated.content;
  return DerError::kNone;
}

DerError ParseSignedData(ByteView der, SignedData* out) {
  *out = SignedData{};
  // ContentInfo ::= SEQUENCE { contentType OID, content [0] EXPLICIT ANY }
  Tlv contentInfo;
  DerError error = ReadTlv(der, &contentInfo);
  if (error != DerError::kNone) return error;
  if (contentInfo.tag != der::kSequence) return DerError::kBadTag;
  DerReader outer(contentInfo.content);
  Tlv type, explicitContent, signedData;
  if (!outer.Expect(der::kOid, &type) || !outer.Expect(der::kContext0, &explicitContent)) {
    return Error(outer);
  }
  if (!SameBytes(type.content, oid::kSignedData)) return DerError::kBadTag;
  DerReader wrapper(explicitContent.content);
  if (!wrapper.Expect(der::kSequence, &signedData)) return Error(wrapper);

  // SignedData ::= SEQUENCE { version, digestAlgorithms SET,
  //   encapContentInfo, certificates [0] IMPLICIT OPTIONAL,
  //   crls [1] IMPLICIT OPTIONAL, signerInfos SET }
  DerReader reader(signedData.content);
  Tlv version, digestAlgorithms, encapsulated, certificates, crls, signerInfos;
  if (!reader.Expect(der::kInteger, &version) || !reader.Expect(der::kSet, &digestAlgorithms) ||
      !reader.Expect(der::kSequence, &encapsulated) || !reader.Optional(der::kContext0, &certificates) ||
      !reader.Optional(der::kContext1, &crls) || !reader.Expect(der::kSet, &signerInfos)) {
    return Error(reader);
  }

  DerReader content(encapsulated.content);
  Tlv contentType, contentExplicit, element;
  if (!content.Expect(der::kOid, &contentType) || !content.Optional(der::kContext0, &contentExplicit)) {
    return Error(content);
  }
  out->contentType = contentType.content;
  if (!contentExplicit.whole.empty()) {
    DerReader inner(contentExplicit.content);
    if (!inner.Next(&element)) return Error(inner);
    if (element.tag == der::kOctetString) {
      out->contentElement = element.content;
    } else if (element.tag == der::kOctetStringConstructed) {
      error = JoinSegments(element.content, &out->joinedContent);
      if (error != DerError::kNone) return error;
      out->contentElement = out->joinedContent;
    } else {
      out->contentElement = element.whole;
    }
    out->signedContent = element.tag == der::kOctetString || element.tag == der::kOctetStringConstructed
                             ? out->contentElement
                             : element.content;
  }

  DerReader certificateReader(certificates.content);
  while (!certificateReader.AtEnd()) {
    Tlv certificate;
    if (!certificateReader.Next(&certificate)) return Error(certificateReader);
    // Other certificate formats ([0]..[3] choices) are not X.509 and are skipped.
    if (certificate.tag == der::kSequence) out->certificates.push_back(certificate.whole);
  }

  DerReader signerReader(signerInfos.content);
  while (!signerReader.AtEnd()) {
    Tlv signer;
    if (!signerReader.Next(&signer)) return Error(signerReader);
    SignerInfo info;
    error = ParseSignerInfo(signer.whole, &info);
    if (error != DerError::kNone) return error;
    out->signers.push_back(info);
  }
  return DerError::kNone;
}

bool ParseIndirectData(ByteView element, IndirectData* out) {
  *out = IndirectData{};
  Tlv indirect;
  if (ReadTlv(element, &indirect) != DerError::kNone || indirect.tag != der::kSequence) {
    return false;
  }
  DerReader reader(indirect.content);
  Tlv data, digestInfo, digest;
  if (!reader.Expect(der::kSequence, &data) || !reader.Expect(der::kSequence, &digestInfo)) {
    return false;
  }
  // DigestInfo ::= SEQUENCE { digestAlgorithm AlgorithmIdentifier,
  //                           digest OCTET STRING }
  DerReader info(digestInfo.content);
  if (!ReadAlgorithm(&info, &out->digestAlgorithm) || !info.Expect(der::kOctetString, &digest)) {
    return false;
  }
  out->digest = digest.content;
  return true;
}

std::vector<ByteView> AttributeValues(ByteView attributes, ByteView type) {
  std::vector<ByteView> first;
  bool wellFormed = ForEachAttribute(attributes, type, [&](const std::vector<ByteView>& values) {
    first = values;
    return false;
  });
  return wellFormed ? first : std::vector<ByteView>{};
}

std::vector<ByteView> AllAttributeValues(ByteView attributes, ByteView type, size_t limit) {
  std::vector<ByteView> all;
  ForEachAttribute(attributes, type, [&](const std::vector<ByteView>& values) {
    for (ByteView value : values) {
      if (all.size() == limit) return false;
      all.push_back(value);
    }
    return all.size() < limit;
  });
  return all;
}

}  // namespace wintrust
