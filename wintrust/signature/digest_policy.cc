#include "wintrust/signature/digest_policy.h"

#include "wintrust/base/library_context.h"

namespace wintrust {
namespace {

// DER content octets of the digest algorithm OIDs.
constexpr uint8_t kSha1Oid[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
constexpr uint8_t kSha256Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
constexpr uint8_t kSha384Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
constexpr uint8_t kSha512Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};

// The digest policy: the one list of algorithms accepted for image digests,
// signer digests (RSASSA-PSS hashes included) and time-stamp imprints.
struct PolicyEntry {
  ByteView oid;
  const EVP_MD* (*md)();
};
const PolicyEntry kDigestPolicy[] = {
    {kSha1Oid, EVP_sha1},
    {kSha256Oid, EVP_sha256},
    {kSha384Oid, EVP_sha384},
    {kSha512Oid, EVP_sha512},
};

}  // namespace

const EVP_MD* DigestForOid(ByteView oid) {
  for (const PolicyEntry& entry : kDigestPolicy) {
    if (SameBytes(oid, entry.oid)) return ThreadDigest(entry.md());
  }
  return nullptr;
}

std::optional<Bytes> Digest(const EVP_MD* md, ByteView bytes) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, md, nullptr) != 1) {
    return std::nullopt;
  }
  out.resize(length);
  return out;
}

}  // namespace wintrust
