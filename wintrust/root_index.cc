#include "wintrust/root_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace wintrust {
namespace {

using root_index::kEntrySize;
using root_index::kFormat;
using root_index::kHeaderSize;
using root_index::kMagic;

// Far above the program's few hundred roots; bounds what a damaged index
// can make the reader allocate.
constexpr uint32_t kMaxEntries = 100000;
constexpr uint64_t kMaxIndexSize = 64ull << 20;

std::optional<int64_t> ReadLe64(ByteView bytes, uint64_t offset) {
  auto low = ReadLe32(bytes, offset);
  auto high = ReadLe32(bytes, offset + 4);
  if (!low || !high) return std::nullopt;
  return static_cast<int64_t>((uint64_t{*high} << 32) | *low);
}

UsageList ReadUsages(ByteView bytes, uint64_t offset) {
  return UsageList{.present = bytes[offset] != 0, .usages = bytes[offset + 1]};
}

}  // namespace

std::optional<RootIndex> RootIndex::Open(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  Bytes bytes;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) <= kMaxIndexSize) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t got = pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    if (done != bytes.size()) bytes.clear();
  }
  close(fd);
  return FromBytes(std::move(bytes));
}

std::optional<RootIndex> RootIndex::FromBytes(Bytes bytes) {
  RootIndex index;
  index.bytes_ = std::move(bytes);
  ByteView view(index.bytes_);
  if (view.size() < kHeaderSize || std::memcmp(view.data(), kMagic, sizeof kMagic) != 0 ||
      ReadLe32(view, 8) != kFormat) {
    return std::nullopt;
  }
  uint32_t count = *ReadLe32(view, 12);
  if (count > kMaxEntries || !RangeInside(view.size(), kHeaderSize, uint64_t{count} * kEntrySize)) {
    return std::nullopt;
  }
  index.entries_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t at = kHeaderSize + uint64_t{i} * kEntrySize;
    Entry entry;
    entry.nameHash = *ReadLe32(view, at);
    std::optional<ByteView> der = SubView(view, *ReadLe32(view, at + 4), *ReadLe32(view, at + 8));
    if (!der) return std::nullopt;
    entry.der = *der;
    std::copy_n(view.begin() + static_cast<ptrdiff_t>(at + 12), 20, entry.thumbprint.begin());
    entry.limits.disabledFrom = *ReadLe64(view, at + 32);
    entry.limits.notBefore = *ReadLe64(view, at + 40);
    entry.limits.enabled = ReadUsages(view, at + 48);
    entry.limits.disallowed = ReadUsages(view, at + 50);
    entry.limits.notBeforeUsages = ReadUsages(view, at + 52);
    if (!index.entries_.empty() && index.entries_.back().nameHash > entry.nameHash) return std::nullopt;
    index.entries_.push_back(entry);
  }
  return index;
}

std::span<const RootIndex::Entry> RootIndex::WithNameHash(uint32_t nameHash) const {
  auto first = std::lower_bound(entries_.begin(), entries_.end(), nameHash,
                                [](const Entry& entry, uint32_t hash) { return entry.nameHash < hash; });
  auto last = std::upper_bound(first, entries_.end(), nameHash,
                               [](uint32_t hash, const Entry& entry) { return hash < entry.nameHash; });
  return {first, last};
}

}  // namespace wintrust
