// The Authenticode image digest of a PE file: every byte before the
// certificate table, except the CheckSum field and the certificate-table
// directory entry, hashed in file order.
#pragma once

#include <openssl/evp.h>

#include <optional>

#include "wintrust/byte_view.h"
#include "wintrust/pe_image.h"

namespace wintrust {

// The digest algorithm an AlgorithmIdentifier's OID (its content octets)
// names, among SHA-1, SHA-256, SHA-384 and SHA-512; null for any other.
const EVP_MD* DigestForOid(ByteView oid);

// Hashes `bytes` with `md`; nothing only when OpenSSL fails.
std::optional<Bytes> Digest(const EVP_MD* md, ByteView bytes);

// The image digest of a file whose headers ParsePeHeaders read and whose
// certificate table FindPkcs7Signature accepted. Reads straight from `file`
// (a mapping), without copying it; nothing only when OpenSSL fails.
std::optional<Bytes> ComputeImageDigest(ByteView file, const PeImage& image,
                                        const EVP_MD* md);

}  // namespace wintrust
