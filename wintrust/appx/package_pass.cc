#include "wintrust/appx/package_pass.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "wintrust/appx/block_check.h"
#include "wintrust/appx/zip_content.h"
#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

// The entry whose data the pass is in.
class OpenEntry {
 public:
  OpenEntry(const PassEntry& pass, const EVP_MD* md) : pass_(pass) {
    if (pass.blocks != nullptr) blocks_.emplace(*pass.blocks, md);
    decoder_ = std::make_unique<ZipContentDecoder>(*pass.entry, [this](ByteView piece) { return Take(piece); });
  }

  SubjectStatus Start() { return decoder_->Start(); }
  SubjectStatus Feed(ByteView data) { return decoder_->Feed(data); }
  SubjectStatus Finish() {
    SubjectStatus status = decoder_->Finish();
    if (status == SubjectStatus::kOk && blocks_) status = blocks_->Finish();
    return status;
  }

 private:
  SubjectStatus Take(ByteView piece) {
    if (pass_.contentHash != nullptr) {
      SubjectStatus status = HashBytes(pass_.contentHash, piece);
      if (status != SubjectStatus::kOk) return status;
    }
    return blocks_ ? blocks_->Add(piece) : SubjectStatus::kOk;
  }

  const PassEntry& pass_;
  std::optional<BlockCheck> blocks_;
  std::unique_ptr<ZipContentDecoder> decoder_;
};

}  // namespace

SubjectStatus HashRecordsOnce(const ByteSource& file, uint64_t end, const EVP_MD* md, std::vector<PassEntry> entries,
                              EVP_MD_CTX* records) {
  std::erase_if(entries, [](const PassEntry& e) { return e.contentHash == nullptr && e.blocks == nullptr; });
  std::sort(entries.begin(), entries.end(),
            [](const PassEntry& a, const PassEntry& b) { return a.dataOffset < b.dataOffset; });
  uint64_t reached = 0;
  for (const PassEntry& e : entries) {
    if (e.dataOffset < reached || !RangeInside(end, e.dataOffset, e.entry->compressedSize)) {
      return SubjectStatus::kNotThisFormat;
    }
    reached = e.dataOffset + e.entry->compressedSize;
  }
  if (!RangeInside(file.size(), 0, end)) return SubjectStatus::kReadFault;

  std::vector<uint8_t> buffer(kSubjectBufferSize);
  file.AdviseSequential(0, end);
  size_t next = 0;
  std::unique_ptr<OpenEntry> open;
  // Hands the entry its part of [from, to), the bytes in `chunk`; true
  // when the entry's data ended there.
  auto feed = [&](ByteView chunk, uint64_t from, bool* ended) {
    const PassEntry& e = entries[next];
    if (!open) {
      open = std::make_unique<OpenEntry>(e, md);
      SubjectStatus status = open->Start();
      if (status != SubjectStatus::kOk) return status;
    }
    const uint64_t dataEnd = e.dataOffset + e.entry->compressedSize;
    const uint64_t start = std::max(e.dataOffset, from);
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
    while (ended && next < entries.size() && entries[next].dataOffset < position + length) {
      status = feed(chunk, position, &ended);
      if (status != SubjectStatus::kOk) return status;
    }
    position += length;
  }
  // Empty files whose data would start at `end`.
  while (next < entries.size()) {
    bool ended = false;
    SubjectStatus status = feed(ByteView(), end, &ended);
    if (status != SubjectStatus::kOk) return status;
  }
  return SubjectStatus::kOk;
}

}  // namespace wintrust
