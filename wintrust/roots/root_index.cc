#include "wintrust/roots/root_index.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "wintrust/base/library_context.h"

namespace wintrust {
namespace {

using root_index::kChecksumOffset;
using root_index::kEntrySize;
using root_index::kFormat;
using root_index::kHeaderSize;
using root_index::kMagic;

// Far above the program's few hundred roots; bounds what a damaged index
// can make the reader allocate.
constexpr uint32_t kMaxEntries = 100000;

UsageList ReadUsages(ByteView bytes, uint64_t offset) {
  return UsageList{.present = bytes[offset] != 0, .usages = bytes[offset + 1]};
}

}  // namespace

std::optional<RootIndex> RootIndex::Open(const std::string& path) {
  FileOpenError error;
  RootIndex index;
  index.source_ = FileSource::Open(path, &error);
  if (!index.source_) return std::nullopt;
  return ReadTable(std::move(index));
}

std::optional<RootIndex> RootIndex::FromBytes(Bytes bytes) {
  RootIndex index;
  index.bytes_ = std::move(bytes);
  index.source_ = std::make_unique<MemorySource>(index.bytes_);
  return ReadTable(std::move(index));
}

std::optional<RootIndex> RootIndex::ReadTable(RootIndex index) {
  const ByteSource& source = *index.source_;
  uint8_t header[kHeaderSize];
  if (!source.Read(0, header) || std::memcmp(header, kMagic, sizeof kMagic) != 0 || ReadLe32(header, 8) != kFormat) {
    return std::nullopt;
  }
  uint32_t count = *ReadLe32(header, 12);
  if (count > kMaxEntries) return std::nullopt;
  Bytes table(uint64_t{count} * kEntrySize);
  if (!source.Read(kHeaderSize, table)) return std::nullopt;
  uint8_t checksum[32];
  unsigned int checksumLength = 0;
  if (EVP_Digest(table.data(), table.size(), checksum, &checksumLength, EVP_sha256(), nullptr) != 1 ||
      checksumLength != sizeof checksum || std::memcmp(checksum, header + kChecksumOffset, sizeof checksum) != 0) {
    return std::nullopt;
  }
  ByteView view(table);
  index.entries_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t at = uint64_t{i} * kEntrySize;
    Entry entry;
    entry.nameHash = *ReadLe32(view, at);
    entry.derOffset = *ReadLe32(view, at + 4);
    entry.derLength = *ReadLe32(view, at + 8);
    if (entry.derLength == 0 || !RangeInside(source.size(), entry.derOffset, entry.derLength)) return std::nullopt;
    std::copy_n(view.begin() + static_cast<ptrdiff_t>(at + 12), 20, entry.thumbprint.begin());
    entry.limits.disabledFrom = static_cast<int64_t>(*ReadLe64(view, at + 32));
    entry.limits.notBefore = static_cast<int64_t>(*ReadLe64(view, at + 40));
    entry.limits.enabled = ReadUsages(view, at + 48);
    entry.limits.disallowed = ReadUsages(view, at + 50);
    entry.limits.notBeforeUsages = ReadUsages(view, at + 52);
    if (!index.entries_.empty() && index.entries_.back().nameHash > entry.nameHash) return std::nullopt;
    index.entries_.push_back(entry);
  }
  return index;
}

Bytes RootIndex::Der(const Entry& entry) const {
  Bytes der(entry.derLength);
  std::array<uint8_t, 20> thumbprint{};
  unsigned int length = 0;
  if (!source_->Read(entry.derOffset, der) ||
      EVP_Digest(der.data(), der.size(), thumbprint.data(), &length, ThreadDigest(EVP_sha1()), nullptr) != 1 ||
      thumbprint != entry.thumbprint) {
    der.clear();
  }
  return der;
}

std::span<const RootIndex::Entry> RootIndex::WithNameHash(uint32_t nameHash) const {
  auto first = std::lower_bound(entries_.begin(), entries_.end(), nameHash,
                                [](const Entry& entry, uint32_t hash) { return entry.nameHash < hash; });
  auto last = std::upper_bound(first, entries_.end(), nameHash,
                               [](uint32_t hash, const Entry& entry) { return hash < entry.nameHash; });
  return {first, last};
}

}  // namespace wintrust
