// The Authenticode image digest of a PE file: every byte before the
// certificate table (to the end of the file when there is none), except the
// CheckSum field and the certificate-table directory entry, hashed in file
// order.
#pragma once

#include <openssl/evp.h>

#include <optional>
#include <span>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/pe/pe_image.h"
#include "wintrust/subject/subject_digest.h"

namespace wintrust {

// The buffer size the library streams the image through, the one every
// subject uses.
constexpr size_t kImageDigestBufferSize = kSubjectBufferSize;

enum class ImageDigestError {
  kNone,
  kReadFault,     // a read came up short or failed: the file changed or broke
  kOpenSsl,       // OpenSSL failed
  kBadArguments,  // the image's ranges are out of order or outside the file,
                  // or the buffer is empty: a caller's error
};

// The image digest of a file whose headers ParsePeHeaders read and whose
// certificate table FindPkcs7Signature accepted, streamed through `buffer`
// (any non-empty size; the file is never held whole).
ImageDigestError ComputeImageDigest(const ByteSource& file, const PeImage& image, const EVP_MD* md,
                                    std::span<uint8_t> buffer, Bytes* digest);

// The same with a buffer of the library's own choosing; nothing on failure.
std::optional<Bytes> ComputeImageDigest(const ByteSource& file, const PeImage& image, const EVP_MD* md);
std::optional<Bytes> ComputeImageDigest(ByteView file, const PeImage& image, const EVP_MD* md);

}  // namespace wintrust
