#include "wintrust/subject/subject_digest.h"

#include <algorithm>

namespace wintrust {

EvpMdCtxPtr StartDigest(const EVP_MD* md) {
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) return nullptr;
  return context;
}

SubjectStatus HashFileRange(EVP_MD_CTX* context, const ByteSource& file, uint64_t begin, uint64_t end,
                            std::span<uint8_t> buffer) {
  if (end < begin || !RangeInside(file.size(), begin, end - begin) || buffer.empty()) {
    return SubjectStatus::kReadFault;
  }
  file.AdviseSequential(begin, end - begin);
  for (uint64_t position = begin; position < end;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - position));
    if (!file.Read(position, buffer.first(length))) return SubjectStatus::kReadFault;
    SubjectStatus status = HashBytes(context, buffer.first(length));
    if (status != SubjectStatus::kOk) return status;
    position += length;
  }
  return SubjectStatus::kOk;
}

SubjectStatus HashBytes(EVP_MD_CTX* context, ByteView bytes) {
  return EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1 ? SubjectStatus::kOk
                                                                    : SubjectStatus::kLibraryFailed;
}

SubjectStatus FinishDigest(EVP_MD_CTX* context, Bytes* digest) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context, out.data(), &length) != 1) return SubjectStatus::kLibraryFailed;
  out.resize(length);
  *digest = std::move(out);
  return SubjectStatus::kOk;
}

}  // namespace wintrust
