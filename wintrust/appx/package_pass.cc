#include "wintrust/appx/package_pass.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "wintrust/appx/block_check.h"
#include "wintrust/appx/zip_content.h"
#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

// The file whose data the pass is in.
class OpenFile {
 public:
  OpenFile(const PackagePassFile& file, const EVP_MD* md) : file_(file) {
    if (file.blocks != nullptr) blocks_.emplace(*file.blocks, md);
    splitsBlocks_ = file.blocks != nullptr && file.entry->method == kZipDeflated;
    decoder_ = std::make_unique<ZipContentDecoder>(*file.entry, [this](ByteView piece) { return Take(piece); });
  }

  SubjectStatus Start() { return decoder_->Start(); }

  SubjectStatus Feed(ByteView data) {
    if (!splitsBlocks_) return decoder_->Feed(data);
    const std::vector<BlockMapBlock>& blocks = file_.blocks->blocks;
    while (!data.empty()) {
      // The sizes were checked to add up to the data's, each at least 1.
      if (block_ >= blocks.size()) return SubjectStatus::kBadDigest;
      const uint64_t blockSize = *blocks[block_].compressedSize;
      const size_t length = static_cast<size_t>(std::min<uint64_t>(data.size(), blockSize - inBlock_));
      SubjectStatus status = decoder_->Feed(data.first(length));
      if (status != SubjectStatus::kOk) return status;
      data = data.subspan(length);
      inBlock_ += length;
      if (inBlock_ < blockSize) continue;
      const uint64_t blockEnd = std::min<uint64_t>((block_ + 1) * kBlockMapBlockSize, file_.entry->uncompressedSize);
      if (decoder_->produced() != blockEnd || !decoder_->AtDeflateBlockEnd()) return SubjectStatus::kBadDigest;
      ++block_;
      inBlock_ = 0;
    }
    return SubjectStatus::kOk;
  }

  SubjectStatus Finish() {
    SubjectStatus status = decoder_->Finish();
    if (status == SubjectStatus::kOk && blocks_) status = blocks_->Finish();
    return status;
  }

 private:
  SubjectStatus Take(ByteView piece) {
    if (file_.contentHash != nullptr) {
      SubjectStatus status = HashBytes(file_.contentHash, piece);
      if (status != SubjectStatus::kOk) return status;
    }
    return blocks_ ? blocks_->Add(piece) : SubjectStatus::kOk;
  }

  const PackagePassFile& file_;
  std::optional<BlockCheck> blocks_;
  std::unique_ptr<ZipContentDecoder> decoder_;
  bool splitsBlocks_ = false;
  size_t block_ = 0;
  uint64_t inBlock_ = 0;
};

}  // namespace

SubjectStatus RunPackagePass(const ByteSource& file, uint64_t end, const EVP_MD* md,
                             const std::vector<PackagePassFile>& files, EVP_MD_CTX* records) {
  std::vector<const PackagePassFile*> decoded;
  for (const PackagePassFile& f : files) {
    if (f.contentHash != nullptr || f.blocks != nullptr) decoded.push_back(&f);
  }
  if (!RangeInside(file.size(), 0, end)) return SubjectStatus::kReadFault;

  std::vector<uint8_t> buffer(kSubjectBufferSize);
  file.AdviseSequential(0, end);
  size_t next = 0;
  std::unique_ptr<OpenFile> open;
  // Hands the file its part of the bytes in `chunk`, which start at `from`;
  // `ended` when the file's data ended there.
  auto feed = [&](ByteView chunk, uint64_t from, bool* ended) {
    const ZipEntry& entry = *decoded[next]->entry;
    if (!open) {
      open = std::make_unique<OpenFile>(*decoded[next], md);
      SubjectStatus status = open->Start();
      if (status != SubjectStatus::kOk) return status;
    }
    const uint64_t dataEnd = entry.dataOffset() + entry.compressedSize;
    const uint64_t start = std::max(entry.dataOffset(), from);
    const uint64_t stop = std::min<uint64_t>(dataEnd, from + chunk.size());
    SubjectStatus status =
        open->Feed(chunk.subspan(static_cast<size_t>(start - from), static_cast<size_t>(stop - start)));
    *ended = stop == dataEnd;
    if (status != SubjectStatus::kOk || !*ended) return status;
    status = open->Finish();
    open.reset();
    ++next;
    return status;
  };
  for (uint64_t position = 0; position < end;) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - position));
    const ByteView chunk(buffer.data(), length);
    if (!file.Read(position, std::span<uint8_t>(buffer.data(), length))) return SubjectStatus::kReadFault;
    SubjectStatus status = HashBytes(records, chunk);
    if (status != SubjectStatus::kOk) return status;
    bool ended = true;
    while (ended && next < decoded.size() && decoded[next]->entry->dataOffset() < position + length) {
      status = feed(chunk, position, &ended);
      if (status != SubjectStatus::kOk) return status;
    }
    position += length;
  }
  // Empty files whose data would start at `end`.
  while (next < decoded.size()) {
    bool ended = false;
    SubjectStatus status = feed(ByteView(), end, &ended);
    if (status != SubjectStatus::kOk) return status;
  }
  return SubjectStatus::kOk;
}

}  // namespace wintrust
