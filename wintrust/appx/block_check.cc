#include "wintrust/appx/block_check.h"

#include <algorithm>

#include "wintrust/subject/subject_digest.h"

namespace wintrust {

SubjectStatus BlockCheck::Compare(const uint8_t* hash, unsigned int length) {
  if (block_ >= mapped_.blocks.size() || !SameBytes(ByteView(hash, length), mapped_.blocks[block_].hash)) {
    return SubjectStatus::kBadDigest;
  }
  ++block_;
  inBlock_ = 0;
  return SubjectStatus::kOk;
}

SubjectStatus BlockCheck::FinishBlock() {
  uint8_t hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_.get(), hash, &length) != 1) return SubjectStatus::kOpenSsl;
  return Compare(hash, length);
}

SubjectStatus BlockCheck::Add(ByteView piece) {
  while (!piece.empty()) {
    // A whole block in the piece is hashed in one call, with no context
    // kept: the usual case, as pieces are 64 KiB or more.
    if (inBlock_ == 0 && piece.size() >= kBlockMapBlockSize) {
      uint8_t hash[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      if (EVP_Digest(piece.data(), kBlockMapBlockSize, hash, &length, md_, nullptr) != 1) {
        return SubjectStatus::kOpenSsl;
      }
      SubjectStatus status = Compare(hash, length);
      if (status != SubjectStatus::kOk) return status;
      piece = piece.subspan(kBlockMapBlockSize);
      continue;
    }
    if (inBlock_ == 0) {
      if (!context_) {
        context_ = StartDigest(md_);
      } else if (EVP_DigestInit_ex(context_.get(), md_, nullptr) != 1) {
        context_.reset();
      }
      if (!context_) return SubjectStatus::kOpenSsl;
    }
    const size_t length = static_cast<size_t>(std::min<uint64_t>(piece.size(), kBlockMapBlockSize - inBlock_));
    SubjectStatus status = HashBytes(context_.get(), piece.first(length));
    if (status != SubjectStatus::kOk) return status;
    inBlock_ += length;
    piece = piece.subspan(length);
    if (inBlock_ == kBlockMapBlockSize) {
      status = FinishBlock();
      if (status != SubjectStatus::kOk) return status;
    }
  }
  return SubjectStatus::kOk;
}

SubjectStatus BlockCheck::Finish() {
  if (inBlock_ > 0) {
    SubjectStatus status = FinishBlock();
    if (status != SubjectStatus::kOk) return status;
  }
  return block_ == mapped_.blocks.size() ? SubjectStatus::kOk : SubjectStatus::kBadDigest;
}

}  // namespace wintrust
