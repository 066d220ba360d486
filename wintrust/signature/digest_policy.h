// The library's one digest policy: which digest algorithms it accepts,
// wherever a signature names one.
#pragma once

#include <openssl/evp.h>

#include <optional>

#include "wintrust/base/byte_view.h"

namespace wintrust {

// The digest algorithm an AlgorithmIdentifier's OID (its content octets)
// names, among SHA-1, SHA-256, SHA-384 and SHA-512; null for any other. This
// is the library's one digest policy: image digests, signer digests and
// time-stamp imprints all pass through it, and an algorithm it refuses
// answers NTE_BAD_ALGID wherever it is met.
const EVP_MD* DigestForOid(ByteView oid);

// Hashes `bytes` with `md`; nothing only when OpenSSL fails.
std::optional<Bytes> Digest(const EVP_MD* md, ByteView bytes);

}  // namespace wintrust
