// What the signature checks of one verification may cost, shared by every
// chain it searches: the signer's, and each countersignature's. A check's
// cost is that of its public-key operation, so a bag of certificates with
// slow keys runs out as soon as one with ordinary keys would take as long.
//
// The unit is one modular multiplication of 2048-bit numbers. An RSA check
// raises the signature to the public exponent: one squaring per bit of the
// exponent after the first and one multiplication per further set bit, each
// costing the square of the modulus' length (in 2048-bit units); 2048 bits
// with exponent 65537 cost 17. An elliptic-curve check costs what OpenSSL
// takes for it against that ordinary RSA check, measured: P-256 4 times,
// P-521 32 times, P-384 40 times. Any other key costs as an RSA check with a
// 512-bit exponent and a modulus of its size (DSA's two exponentiations with
// an exponent of at most 256 bits).
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <optional>

namespace wintrust {

// The cost of one check with a 2048-bit RSA key and exponent 65537.
constexpr uint64_t kOrdinaryCheckCost = 17;
// The budget: 4096 ordinary checks, a fraction of a second.
constexpr uint64_t kSignatureBudget = 4096 * kOrdinaryCheckCost;

// The cost of a signature check with `key`; nothing for a key Windows cannot
// load: an RSA public exponent wider than 32 bits, a modulus of more than
// 16384 bits, a curve other than P-256, P-384 and P-521.
std::optional<uint64_t> SignatureCheckCost(const EVP_PKEY* key);

class SignatureBudget {
 public:
  explicit SignatureBudget(uint64_t units = kSignatureBudget) : left_(units) {}

  // Takes `cost` from the budget; false, taking nothing, when less is left.
  bool Spend(uint64_t cost);

  uint64_t spent() const { return spent_; }

 private:
  uint64_t left_;
  uint64_t spent_ = 0;
};

}  // namespace wintrust
