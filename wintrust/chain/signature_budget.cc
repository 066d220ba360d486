#include "wintrust/chain/signature_budget.h"

#include <bit>

#include "wintrust/base/der_reader.h"

namespace wintrust {
namespace {

constexpr int kMaxExponentBits = 32;
constexpr int kMaxModulusBits = 16384;

// 1.2.840.113549.1.1.1 and .10, 1.2.840.10045.2.1.
constexpr uint8_t kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
constexpr uint8_t kRsaPss[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0A};
constexpr uint8_t kEcPublicKey[] = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};

// `operations` modular multiplications at `bits` bits, in 2048-bit units,
// rounded up.
uint64_t MultiplicationCost(uint64_t operations, uint64_t bits) {
  uint64_t words = (bits + 63) / 64;
  uint64_t cost = (operations * words * words + 32 * 32 - 1) / (32 * 32);
  return cost == 0 ? 1 : cost;
}

// The bits of a positive INTEGER's content octets; nothing for zero or a
// negative number, which no key has.
std::optional<uint64_t> PositiveBits(ByteView content, ByteView* magnitude) {
  if (content.empty() || (content[0] & 0x80) != 0) return std::nullopt;
  while (!content.empty() && content[0] == 0) content = content.subspan(1);
  if (content.empty()) return std::nullopt;
  *magnitude = content;
  return (content.size() - 1) * 8 + static_cast<uint64_t>(std::bit_width(content[0]));
}

std::optional<uint64_t> RsaCost(ByteView key) {
  // RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
  Tlv sequence, modulus, exponent;
  if (ReadTlv(key, &sequence) != DerError::kNone || sequence.tag != der::kSequence) return std::nullopt;
  DerReader fields(sequence.content);
  if (!fields.Expect(der::kInteger, &modulus) || !fields.Expect(der::kInteger, &exponent)) return std::nullopt;
  ByteView modulusBytes, exponentBytes;
  std::optional<uint64_t> modulusBits = PositiveBits(modulus.content, &modulusBytes);
  std::optional<uint64_t> exponentBits = PositiveBits(exponent.content, &exponentBytes);
  if (!modulusBits || !exponentBits || *exponentBits > kMaxExponentBits || *modulusBits > kMaxModulusBits) {
    return std::nullopt;
  }
  uint32_t value = 0;
  for (uint8_t byte : exponentBytes) value = value << 8 | byte;
  uint64_t setBits = static_cast<uint64_t>(std::popcount(value));
  return MultiplicationCost(*exponentBits - 1 + setBits - 1, *modulusBits);
}

std::optional<uint64_t> CurveCost(const Tlv& parameters) {
  // Named curves only: explicit parameters may spoof a named curve's key.
  if (parameters.tag != der::kOid) return std::nullopt;
  struct Named {
    uint8_t oid[8];
    size_t size;
    uint64_t ordinaryChecks;
  };
  static constexpr Named kNamed[] = {
      {{0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, 8, 4},  // P-256
      {{0x2B, 0x81, 0x04, 0x00, 0x22}, 5, 40},                   // P-384
      {{0x2B, 0x81, 0x04, 0x00, 0x23}, 5, 32},                   // P-521
  };
  for (const Named& named : kNamed) {
    if (SameBytes(parameters.content, ByteView(named.oid, named.size)))
      return named.ordinaryChecks * kOrdinaryCheckCost;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> SignatureCheckCost(ByteView publicKeyInfo) {
  // SubjectPublicKeyInfo ::= SEQUENCE { algorithm SEQUENCE { algorithm OID,
  // parameters ANY OPTIONAL }, subjectPublicKey BIT STRING }
  Tlv info, algorithm, oid, parameters, key;
  if (ReadTlv(publicKeyInfo, &info) != DerError::kNone || info.tag != der::kSequence) return std::nullopt;
  DerReader fields(info.content);
  if (!fields.Expect(der::kSequence, &algorithm) || !fields.Expect(der::kBitString, &key)) return std::nullopt;
  DerReader identifier(algorithm.content);
  if (!identifier.Expect(der::kOid, &oid)) return std::nullopt;
  bool hasParameters = identifier.Next(&parameters);
  // A key is whole octets: the bit string's first octet counts no unused bits.
  if (key.content.empty() || key.content[0] != 0) return std::nullopt;
  ByteView keyBytes = key.content.subspan(1);
  if (SameBytes(oid.content, kRsaEncryption) || SameBytes(oid.content, kRsaPss)) return RsaCost(keyBytes);
  if (SameBytes(oid.content, kEcPublicKey)) return hasParameters ? CurveCost(parameters) : std::nullopt;
  return MultiplicationCost(512, keyBytes.size() * 8);
}

std::optional<uint64_t> SignatureCheckCost(X509* certificate) {
  unsigned char* encoded = nullptr;
  int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &encoded);
  std::optional<uint64_t> cost;
  if (length > 0) cost = SignatureCheckCost(ByteView(encoded, static_cast<size_t>(length)));
  OPENSSL_free(encoded);
  return cost;
}

bool SignatureBudget::Spend(uint64_t cost) {
  if (cost > left_) {
    exhausted_ = true;
    return false;
  }
  left_ -= cost;
  spent_ += cost;
  return true;
}

}  // namespace wintrust
