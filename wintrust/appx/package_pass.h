// One read of a package's local records for everything its verification
// needs from them: the hash of the file from its start to the signature's
// record and, in the same pass over the same buffer, each file's content
// decoded and handed to the hash or block check that needs it.
#pragma once

#include <openssl/evp.h>

#include <vector>

#include "wintrust/appx/block_map.h"
#include "wintrust/appx/zip_archive.h"

namespace wintrust {

struct PassEntry {
  const ZipEntry* entry = nullptr;
  uint64_t dataOffset = 0;
  EVP_MD_CTX* contentHash = nullptr;     // hashes the uncompressed bytes, when set
  const BlockMapFile* blocks = nullptr;  // compared block by block, when set
};

// Hashes the file's bytes [0, end) into `records` and decodes the data of
// each entry that has a hash or a block check. kNotThisFormat when those
// entries' data overlap or pass `end` (one byte would count for two files);
// otherwise the statuses of ZipContentDecoder and BlockCheck, kReadFault and
// kLibraryFailed.
SubjectStatus HashRecordsOnce(const ByteSource& file, uint64_t end, const EVP_MD* md, std::vector<PassEntry> entries,
                              EVP_MD_CTX* records);

}  // namespace wintrust
