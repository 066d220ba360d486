// The package pass: one read of a package's local records for everything
// its verification needs from them. Going from the file's start to the
// signature's record, it hashes every byte into the records hash and hands
// each file's data, from the same buffer, to its inflater and from there to
// the content hash or block check the file has.
#pragma once

#include <openssl/evp.h>

#include <vector>

#include "wintrust/appx/block_map.h"
#include "wintrust/appx/zip_archive.h"

namespace wintrust {

struct PackagePassFile {
  const ZipEntry* entry = nullptr;
  EVP_MD_CTX* contentHash = nullptr;     // hashes the uncompressed bytes, when set
  const BlockMapFile* blocks = nullptr;  // compared block by block, when set
};

// Hashes the file's bytes [0, end) into `records` and decodes the data of
// each of `files` that has a content hash or a block check; the others are
// hashed as stored only. `files` are in the order of their records, which
// lie inside [0, end) one after another (as ReadZipRecords checks). For a
// deflated file with blocks, each block's compressed size must be where its
// deflate block ends and its uncompressed bytes end. kBadDigest for content
// that contradicts the directory or the block map (ZipContentDecoder's and
// BlockCheck's statuses); kReadFault; kOpenSsl.
SubjectStatus RunPackagePass(const ByteSource& file, uint64_t end, const EVP_MD* md,
                             const std::vector<PackagePassFile>& files, EVP_MD_CTX* records);

}  // namespace wintrust
