#include "wintrust/authenticode_digest.h"

#include <algorithm>

#include "wintrust/openssl_ptr.h"

namespace wintrust {
namespace {

// DER content octets of the digest algorithm OIDs.
constexpr uint8_t kSha1Oid[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
constexpr uint8_t kSha256Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65,
                                  0x03, 0x04, 0x02, 0x01};
constexpr uint8_t kSha384Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65,
                                  0x03, 0x04, 0x02, 0x02};
constexpr uint8_t kSha512Oid[] = {0x60, 0x86, 0x48, 0x01, 0x65,
                                  0x03, 0x04, 0x02, 0x03};

// Large enough that the per-call cost vanishes, small enough that the pages
// just hashed can be dropped from the cache behind the reader.
constexpr uint64_t kChunk = uint64_t{1} << 20;

bool Update(EVP_MD_CTX* context, ByteView file, uint64_t begin, uint64_t end) {
  if (end < begin || !RangeInside(file.size(), begin, end - begin)) return false;
  for (uint64_t position = begin; position < end;) {
    uint64_t length = std::min(kChunk, end - position);
    if (EVP_DigestUpdate(context, file.data() + position,
                         static_cast<size_t>(length)) != 1) {
      return false;
    }
    position += length;
  }
  return true;
}

}  // namespace

const EVP_MD* DigestForOid(ByteView oid) {
  if (SameBytes(oid, kSha1Oid)) return EVP_sha1();
  if (SameBytes(oid, kSha256Oid)) return EVP_sha256();
  if (SameBytes(oid, kSha384Oid)) return EVP_sha384();
  if (SameBytes(oid, kSha512Oid)) return EVP_sha512();
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

std::optional<Bytes> ComputeImageDigest(ByteView file, const PeImage& image,
                                        const EVP_MD* md) {
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
    return std::nullopt;
  }
  const uint64_t checksumEnd = image.checksumOffset + 4;
  const uint64_t entryEnd = image.securityEntryOffset + 8;
  if (!Update(context.get(), file, 0, image.checksumOffset) ||
      !Update(context.get(), file, checksumEnd, image.securityEntryOffset) ||
      !Update(context.get(), file, entryEnd, image.certTableOffset)) {
    return std::nullopt;
  }
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), out.data(), &length) != 1) {
    return std::nullopt;
  }
  out.resize(length);
  return out;
}

}  // namespace wintrust
