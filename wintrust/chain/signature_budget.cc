#include "wintrust/chain/signature_budget.h"

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>

#include <bit>

namespace wintrust {
namespace {

constexpr int kMaxExponentBits = 32;
constexpr int kMaxModulusBits = 16384;

// `operations` modular multiplications at `bits` bits, in 2048-bit units,
// rounded up.
uint64_t MultiplicationCost(uint64_t operations, int bits) {
  uint64_t words = (static_cast<uint64_t>(bits) + 63) / 64;
  uint64_t cost = (operations * words * words + 32 * 32 - 1) / (32 * 32);
  return cost == 0 ? 1 : cost;
}

std::optional<uint64_t> RsaCost(const EVP_PKEY* key) {
  // Read as a machine word: an exponent too wide for one is wider than
  // Windows loads anyway, and a word costs a fraction of reading a big
  // number, which every candidate of every chain search would pay.
  size_t exponent = 0;
  if (EVP_PKEY_get_size_t_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) != 1) return std::nullopt;
  int exponentBits = static_cast<int>(std::bit_width(exponent));
  int setBits = std::popcount(exponent);
  int modulusBits = EVP_PKEY_get_bits(key);
  if (exponentBits > kMaxExponentBits || exponentBits == 0 || modulusBits > kMaxModulusBits) return std::nullopt;
  return MultiplicationCost(static_cast<uint64_t>(exponentBits - 1 + setBits - 1), modulusBits);
}

std::optional<uint64_t> CurveCost(const EVP_PKEY* key) {
  char curve[64] = {};
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve, nullptr) != 1) {
    return std::nullopt;  // explicit parameters, no named curve
  }
  struct Named {
    int nid;
    uint64_t ordinaryChecks;
  };
  static constexpr Named kNamed[] = {{NID_X9_62_prime256v1, 4}, {NID_secp384r1, 40}, {NID_secp521r1, 32}};
  int nid = OBJ_txt2nid(curve);
  for (const Named& named : kNamed) {
    if (named.nid == nid) return named.ordinaryChecks * kOrdinaryCheckCost;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> SignatureCheckCost(const EVP_PKEY* key) {
  if (key == nullptr) return std::nullopt;
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS:
      return RsaCost(key);
    case EVP_PKEY_EC:
      return CurveCost(key);
    default:
      return MultiplicationCost(512, EVP_PKEY_get_bits(key));
  }
}

bool SignatureBudget::Spend(uint64_t cost) {
  if (cost > left_) return false;
  left_ -= cost;
  spent_ += cost;
  return true;
}

}  // namespace wintrust
