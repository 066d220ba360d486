// Streaming a subject's content into a digest: the pieces every subject
// shares, so that each only says which bytes its rule covers.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <span>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/base/openssl_ptr.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// The buffer size subjects stream the file through: large enough that the
// per-read cost vanishes, small enough to stay in the processor's cache
// between the read and the hash.
constexpr size_t kSubjectBufferSize = size_t{256} << 10;

// A context ready to hash with `md`; null when OpenSSL fails.
EvpMdCtxPtr StartDigest(const EVP_MD* md);

// Hashes the file's bytes [begin, end) through `buffer` (not empty).
// kReadFault when the range is not inside the file or a read comes up short;
// kLibraryFailed when hashing fails.
SubjectStatus HashFileRange(EVP_MD_CTX* context, const ByteSource& file, uint64_t begin, uint64_t end,
                            std::span<uint8_t> buffer);

// Hashes bytes in memory.
SubjectStatus HashBytes(EVP_MD_CTX* context, ByteView bytes);

// The digest of what was hashed.
SubjectStatus FinishDigest(EVP_MD_CTX* context, Bytes* digest);

}  // namespace wintrust
