// The PKCS#7 SignedData of an Authenticode signature and of an RFC 3161
// time-stamp token, and the SpcIndirectDataContent inside the former. Every
// structure is read by the DER reader (which also takes BER indefinite
// lengths) into views of the original bytes, so signatures are checked over
// exactly the bytes that were signed. The one copy is the value of an
// OCTET STRING eContent sent in segments, joined as the digest requires.
// "Spc" in the Authenticode names stands for Software Publisher
// Certificate, the scheme's original name for the signer's certificate.
#pragma once

#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/der_reader.h"

namespace wintrust {

// DER content octets of the object identifiers the library acts on.
namespace oid {
extern const ByteView kSpcIndirectData;     // 1.3.6.1.4.1.311.2.1.4
extern const ByteView kMessageDigest;       // 1.2.840.113549.1.9.4
extern const ByteView kSigningTime;         // 1.2.840.113549.1.9.5
extern const ByteView kCounterSignature;    // 1.2.840.113549.1.9.6
extern const ByteView kRfc3161CounterSign;  // 1.3.6.1.4.1.311.3.3.1
extern const ByteView kTstInfo;             // 1.2.840.113549.1.9.16.1.4
}  // namespace oid

struct SignerInfo {
  ByteView issuer;               // Name element; empty when identified by key id
  ByteView serialNumber;         // INTEGER element
  ByteView subjectKeyId;         // [0] content, for a signer identified by key id
  ByteView digestAlgorithm;      // OID content
  ByteView authAttributes;       // the whole [0] element; empty when absent
  ByteView signatureAlgorithm;   // OID content
  ByteView signatureParameters;  // the element after that OID; empty when absent
  ByteView signature;            // the signature value
  ByteView unauthAttributes;     // content of [1]; empty when absent
};

struct SignedData {
  SignedData() = default;
  // The views may point into `joinedContent`: moving keeps its buffer,
  // copying would not.
  SignedData(const SignedData&) = delete;
  SignedData& operator=(const SignedData&) = delete;
  SignedData(SignedData&&) = default;
  SignedData& operator=(SignedData&&) = default;

  ByteView contentType;  // OID content of the encapsulated content's type
  // What the signer's messageDigest attribute covers. When the content is
  // any element but an OCTET STRING (PKCS#7 version 1, Authenticode's usual
  // SEQUENCE), the content octets of that element: the SpcIndirectDataContent
  // without its SEQUENCE header. When it is an OCTET STRING eContent (CMS
  // version 3, and time-stamp tokens), the string's value: the whole
  // encoding of the SpcIndirectDataContent or TSTInfo.
  ByteView signedContent;
  // The encoding of the encapsulated structure: the element itself, or the
  // OCTET STRING's value.
  ByteView contentElement;
  // The value of a constructed OCTET STRING, its segments joined; the two
  // views above point here then.
  Bytes joinedContent;
  std::vector<ByteView> certificates;  // each a Certificate element
  std::vector<SignerInfo> signers;
};

// Reads a ContentInfo that must hold SignedData. Bytes after it are ignored
// (certificate tables pad their entries).
DerError ParseSignedData(ByteView der, SignedData* out);

// Reads one SignerInfo element.
DerError ParseSignerInfo(ByteView element, SignerInfo* out);

struct IndirectData {
  ByteView digestAlgorithm;  // OID content
  ByteView digest;           // the image digest the signer vouches for
};

// Reads SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptional
// Value, messageDigest DigestInfo } from SignedData::contentElement.
bool ParseIndirectData(ByteView element, IndirectData* out);

// The values (each an element) of the first attribute of type `type` in the
// content of a SET OF Attribute; empty when there is none or the set is
// malformed.
std::vector<ByteView> AttributeValues(ByteView attributes, ByteView type);

// The values of every attribute of type `type`, in order, at most `limit` of
// them; a malformed attribute ends the list.
std::vector<ByteView> AllAttributeValues(ByteView attributes, ByteView type, size_t limit);

}  // namespace wintrust
