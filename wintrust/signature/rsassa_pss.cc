#include "wintrust/signature/rsassa_pss.h"

#include "wintrust/base/der_reader.h"
#include "wintrust/base/library_context.h"
#include "wintrust/signature/digest_policy.h"

namespace wintrust {
namespace {

constexpr uint8_t kRsassaPssOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0A};
constexpr uint8_t kMgf1Oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x08};
constexpr uint8_t kContext2 = 0xA2;
constexpr uint8_t kContext3 = 0xA3;
// A salt longer than any RSA modulus in use is no salt.
constexpr uint64_t kMaxSaltLength = 1024;

// The digest an AlgorithmIdentifier element names, through the policy.
PssRead ReadHash(ByteView element, const EVP_MD** md) {
  Tlv algorithm, identifier;
  if (ReadTlv(element, &algorithm) != DerError::kNone || algorithm.tag != der::kSequence) {
    return PssRead::kMalformed;
  }
  DerReader reader(algorithm.content);
  if (!reader.Expect(der::kOid, &identifier)) return PssRead::kMalformed;
  *md = DigestForOid(identifier.content);
  return *md == nullptr ? PssRead::kUnsupportedDigest : PssRead::kOk;
}

// A small non-negative INTEGER element.
bool ReadSmallInteger(ByteView element, uint64_t limit, uint64_t* value) {
  Tlv integer;
  if (ReadTlv(element, &integer) != DerError::kNone || integer.tag != der::kInteger || integer.content.empty() ||
      integer.content.size() > 4 || (integer.content[0] & 0x80) != 0) {
    return false;
  }
  *value = 0;
  for (uint8_t octet : integer.content) *value = (*value << 8) | octet;
  return *value <= limit;
}

}  // namespace

bool IsRsassaPss(ByteView oid) {
  return SameBytes(oid, kRsassaPssOid);
}

PssRead ReadPssParameters(ByteView element, PssParameters* out) {
  *out = PssParameters{ThreadDigest(EVP_sha1()), ThreadDigest(EVP_sha1()), 20};
  Tlv parameters;
  if (ReadTlv(element, &parameters) != DerError::kNone || parameters.tag != der::kSequence) {
    return PssRead::kMalformed;
  }
  DerReader reader(parameters.content);
  Tlv hash, maskGeneration, salt, trailer;
  if (!reader.Optional(der::kContext0, &hash) || !reader.Optional(der::kContext1, &maskGeneration) ||
      !reader.Optional(kContext2, &salt) || !reader.Optional(kContext3, &trailer) || !reader.AtEnd()) {
    return PssRead::kMalformed;
  }
  if (!hash.whole.empty()) {
    PssRead read = ReadHash(hash.content, &out->hash);
    if (read != PssRead::kOk) return read;
  }
  if (!maskGeneration.whole.empty()) {
    // MaskGenAlgorithm ::= AlgorithmIdentifier { id-mgf1, HashAlgorithm }
    Tlv algorithm, identifier, maskHash;
    if (ReadTlv(maskGeneration.content, &algorithm) != DerError::kNone || algorithm.tag != der::kSequence) {
      return PssRead::kMalformed;
    }
    DerReader inner(algorithm.content);
    if (!inner.Expect(der::kOid, &identifier) || !SameBytes(identifier.content, kMgf1Oid) ||
        !inner.Expect(der::kSequence, &maskHash)) {
      return PssRead::kMalformed;
    }
    PssRead read = ReadHash(maskHash.whole, &out->maskHash);
    if (read != PssRead::kOk) return read;
  }
  uint64_t value = 0;
  if (!salt.whole.empty()) {
    if (!ReadSmallInteger(salt.content, kMaxSaltLength, &value)) return PssRead::kMalformed;
    out->saltLength = static_cast<int>(value);
  }
  if (!trailer.whole.empty() && (!ReadSmallInteger(trailer.content, 1, &value) || value != 1)) {
    return PssRead::kMalformed;
  }
  return PssRead::kOk;
}

}  // namespace wintrust
