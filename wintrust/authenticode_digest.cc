#include "wintrust/authenticode_digest.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "wintrust/openssl_ptr.h"

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

ImageDigestError Update(EVP_MD_CTX* context, const ByteSource& file, std::span<uint8_t> buffer, uint64_t begin,
                        uint64_t end) {
  if (end < begin || !RangeInside(file.size(), begin, end - begin) || buffer.empty()) {
    return ImageDigestError::kBadArguments;
  }
  for (uint64_t position = begin; position < end;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - position));
    if (!file.Read(position, buffer.first(length))) return ImageDigestError::kReadFault;
    if (EVP_DigestUpdate(context, buffer.data(), length) != 1) {
      return ImageDigestError::kOpenSsl;
    }
    position += length;
  }
  return ImageDigestError::kNone;
}

}  // namespace

const EVP_MD* DigestForOid(ByteView oid) {
  for (const PolicyEntry& entry : kDigestPolicy) {
    if (SameBytes(oid, entry.oid)) return entry.md();
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

ImageDigestError ComputeImageDigest(const ByteSource& file, const PeImage& image, const EVP_MD* md,
                                    std::span<uint8_t> buffer, Bytes* digest) {
  digest->clear();
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
    return ImageDigestError::kOpenSsl;
  }
  const uint64_t checksumEnd = image.checksumOffset + 4;
  const uint64_t entryEnd = image.securityEntryOffset + 8;
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {0, image.checksumOffset},
      {checksumEnd, image.securityEntryOffset},
      {entryEnd, image.certTableOffset},
  };
  for (const auto& [begin, end] : ranges) {
    ImageDigestError error = Update(context.get(), file, buffer, begin, end);
    if (error != ImageDigestError::kNone) return error;
  }
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), out.data(), &length) != 1) {
    return ImageDigestError::kOpenSsl;
  }
  out.resize(length);
  *digest = std::move(out);
  return ImageDigestError::kNone;
}

std::optional<Bytes> ComputeImageDigest(const ByteSource& file, const PeImage& image, const EVP_MD* md) {
  std::vector<uint8_t> buffer(kImageDigestBufferSize);
  Bytes digest;
  if (ComputeImageDigest(file, image, md, buffer, &digest) != ImageDigestError::kNone) {
    return std::nullopt;
  }
  return digest;
}

std::optional<Bytes> ComputeImageDigest(ByteView file, const PeImage& image, const EVP_MD* md) {
  return ComputeImageDigest(MemorySource(file), image, md);
}

}  // namespace wintrust
