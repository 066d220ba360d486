// Compares a file's uncompressed bytes, handed over in pieces, with the
// hashes the block map gives for each of its 64 KiB blocks.
#pragma once

#include <openssl/evp.h>

#include "wintrust/appx/block_map.h"
#include "wintrust/base/openssl_ptr.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

class BlockCheck {
 public:
  BlockCheck(const BlockMapFile& mapped, const EVP_MD* md) : mapped_(mapped), md_(md) {}

  // kBadDigest as soon as a block differs or there are more blocks than the
  // map gives; kLibraryFailed when hashing fails.
  SubjectStatus Add(ByteView piece);
  // After the last piece: the last block, and no block of the map missing.
  SubjectStatus Finish();

 private:
  SubjectStatus Compare(const uint8_t* hash, unsigned int length);
  SubjectStatus FinishBlock();

  const BlockMapFile& mapped_;
  const EVP_MD* md_;
  EvpMdCtxPtr context_;  // the block begun, while one is
  size_t block_ = 0;
  uint64_t inBlock_ = 0;
};

}  // namespace wintrust
