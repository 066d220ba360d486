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
// The largest signature a subject hands over (kMaxSignatureSize) and the
// smallest certificate with an ordinary key OpenSSL reads as a candidate
// issuer: a 2048-bit RSA key (294 bytes of key information), an empty
// issuer, a short subject, no extensions and an empty signature.
constexpr uint64_t kMaxBagBytes = uint64_t{64} << 20;
constexpr uint64_t kSmallestOrdinaryCandidate = 380;
// The budget: a check of every ordinary candidate that a bag of the largest
// signature can hold, so that no padding with ordinary keys, wherever it is
// placed, can keep the search from the real issuer.
constexpr uint64_t kSignatureBudget = kMaxBagBytes / kSmallestOrdinaryCandidate * kOrdinaryCheckCost;

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
