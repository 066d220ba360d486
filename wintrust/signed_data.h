// The PKCS#7 SignedData of an Authenticode signature and of an RFC 3161
// time-stamp token, and the SpcIndirectDataContent inside the former. Every
// structure is read by the DER reader into views of the original bytes, so
// signatures are checked over exactly the bytes that were signed.
#pragma once

#include <vector>

#include "wintrust/byte_view.h"
#include "wintrust/der_reader.h"

namespace wintrust {

// DER content octets of the object identifiers the library acts on.
namespace oid {
extern const ByteView kSignedData;          // 1.2.840.113549.1.7.2
extern const ByteView kSpcIndirectData;     // 1.3.6.1.4.1.311.2.1.4
extern const ByteView kMessageDigest;       // 1.2.840.113549.1.9.4
extern const ByteView kSigningTime;         // 1.2.840.113549.1.9.5
extern const ByteView kCounterSignature;    // 1.2.840.113549.1.9.6
extern const ByteView kRfc3161CounterSign;  // 1.3.6.1.4.1.311.3.3.1
extern const ByteView kTstInfo;             // 1.2.840.113549.1.9.16.1.4
}  // namespace oid

struct SignerInfo {
  ByteView issuer;              // Name element; empty when identified by key id
  ByteView serialNumber;        // INTEGER element
  ByteView subjectKeyId;        // [0] content, for a signer identified by key id
  ByteView digestAlgorithm;     // OID content
  ByteView authAttributes;      // the whole [0] element; empty when absent
  ByteView signatureAlgorithm;  // OID content
  ByteView signature;           // the signature value
  ByteView unauthAttributes;    // content of [1]; empty when absent
};

struct SignedData {
  ByteView contentType;  // OID content of the encapsulated content's type
  // Content octets of the encapsulated element: what the signer's
  // messageDigest attribute covers (for Authenticode the SpcIndirectDataContent
  // without its SEQUENCE header, for a time-stamp token the TSTInfo).
  ByteView signedContent;
  ByteView contentElement;             // that element, header included
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

}  // namespace wintrust
