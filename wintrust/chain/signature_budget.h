// What the candidate issuers of one verification may cost, shared by every
// chain it searches: the signer's, and each countersignature's. A candidate
// costs its decoding and its signature check, so a bag of certificates with
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
// an exponent of at most 256 bits). Decoding costs what OpenSSL 3 takes for
// it against the ordinary check, measured: a key from its raw bytes about
// one check (RSA 0.6, P-256 1.3), a whole certificate six, as OpenSSL
// builds a decoder for the key inside each certificate it decodes.
#pragma once

#include <openssl/x509.h>

#include <cstdint>
#include <optional>

#include "wintrust/base/byte_view.h"

namespace wintrust {

// The cost of one check with a 2048-bit RSA key and exponent 65537.
constexpr uint64_t kOrdinaryCheckCost = 17;
// The cost of decoding a candidate's key from its raw bytes, and of
// decoding its certificate.
constexpr uint64_t kKeyDecodingCost = kOrdinaryCheckCost;
constexpr uint64_t kDecodingCost = 6 * kOrdinaryCheckCost;
// An impostor with an ordinary key: its key decoded, and checked.
constexpr uint64_t kOrdinaryCandidateCost = kKeyDecodingCost + kOrdinaryCheckCost;

// The largest signature a subject hands over (kMaxSignatureSize) and the
// smallest certificate with an ordinary key OpenSSL reads as a candidate
// issuer: a 2048-bit RSA key (294 bytes of key information), an empty
// issuer, a short subject, no extensions and an empty signature. A bag
// within the cap holds at most this many ordinary candidates.
constexpr uint64_t kMaxBagBytes = uint64_t{64} << 20;
constexpr uint64_t kSmallestOrdinaryCandidate = 380;
constexpr uint64_t kMostOrdinaryCandidates = kMaxBagBytes / kSmallestOrdinaryCandidate;

// The budget: twice the candidates of a bag padded with 4096 ordinary
// impostors ahead of the real issuer, and under half a second of processor
// time, so that no signature within the cap, whatever its bag, costs much
// more than a second to verify (bench/check_padded_bag.py). It is a twentieth
// of what a bag within the cap can hold (176,602): trying them all would
// cost seconds more, for a padder's benefit. A signature padded past the
// budget ahead of its real issuer is not trusted.
constexpr uint64_t kPaidOrdinaryCandidates = 8192;
constexpr uint64_t kSignatureBudget = kPaidOrdinaryCandidates * kOrdinaryCandidateCost;
static_assert(kPaidOrdinaryCandidates >= 2 * 4096 && kPaidOrdinaryCandidates < kMostOrdinaryCandidates);

// The cost of a signature check with the key of `publicKeyInfo` (a
// SubjectPublicKeyInfo element), read from its bytes before anything is
// decoded; nothing for a key Windows cannot load: an RSA public exponent
// wider than 32 bits, a modulus of more than 16384 bits, a curve other than
// P-256, P-384 and P-521 (explicit parameters included), or bytes that are
// no key of their algorithm.
std::optional<uint64_t> SignatureCheckCost(ByteView publicKeyInfo);
// The same for a decoded certificate's key.
std::optional<uint64_t> SignatureCheckCost(X509* certificate);

class SignatureBudget {
 public:
  explicit SignatureBudget(uint64_t units = kSignatureBudget) : left_(units) {}

  // Takes `cost` from the budget; false, taking nothing, when less is left.
  bool Spend(uint64_t cost);

  uint64_t spent() const { return spent_; }
  bool CanPay(uint64_t cost) const { return cost <= left_; }
  // Whether a cost has been refused: some candidate went untried.
  bool exhausted() const { return exhausted_; }

 private:
  uint64_t left_;
  uint64_t spent_ = 0;
  bool exhausted_ = false;
};

}  // namespace wintrust
