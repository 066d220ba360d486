// Keys and certificates made inside a test, for the chain and root tables:
// each test states the chain it needs in a few lines.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/openssl_ptr.h"

namespace wintrust::test_support {

using EvpPkeyPtr = wintrust::EvpPkeyPtr;

// An RSA public key with a random odd modulus of `modulusBits` bits (no
// private key belongs to it: it verifies nothing, and costs what its size
// and exponent cost) and the exponent `exponent` (hex).
EvpPkeyPtr RsaPublicKey(int modulusBits, const char* exponent);

// An RSA key pair of 2048 bits with public exponent `exponent`.
EvpPkeyPtr RsaKeyPair(uint64_t exponent);

// A certificate for `key` named `subject`, issued by `issuer` (its name) and
// signed with `signingKey`; a certificate authority's when `ca`, else a
// code-signing leaf's. Valid from a day ago to a day from now.
X509Ptr IssueCertificate(const char* subject, const char* issuer, EVP_PKEY* key, EVP_PKEY* signingKey, bool ca);

// The DER of each certificate.
std::vector<Bytes> EncodeCertificates(const std::vector<X509Ptr>& certificates);

}  // namespace wintrust::test_support
