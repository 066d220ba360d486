#include "wintrust/pe/image_digest.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "wintrust/base/openssl_ptr.h"

namespace wintrust {
namespace {

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

// Where the hashed bytes end: at the certificate table when the image has
// one that ends the file, as signing places it; at the end of the file when
// it has none, as catalogs list unsigned images.
uint64_t HashedEnd(const PeImage& image, uint64_t fileSize) {
  const uint64_t tableEnd = uint64_t{image.certTableOffset} + image.certTableSize;
  const bool hasTable = image.certTableOffset != 0 && image.certTableSize != 0 &&
                        image.certTableOffset >= image.headersEnd && tableEnd == fileSize;
  return hasTable ? image.certTableOffset : fileSize;
}

}  // namespace

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
      {entryEnd, HashedEnd(image, file.size())},
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
