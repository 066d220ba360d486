#include "wintrust/root_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace wintrust {
namespace {

constexpr char kMagic[8] = {'S', 'G', 'R', 'R', 'O', 'O', 'T', 'S'};
constexpr uint32_t kFormat = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kEntrySize = 56;
// Far above the program's few hundred roots; bounds what a damaged index
// can make the reader allocate.
constexpr uint32_t kMaxEntries = 100000;
constexpr uint64_t kMaxIndexSize = 64ull << 20;

void PutLe32(Bytes* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutLe64(Bytes* out, int64_t value) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
}

std::optional<int64_t> ReadLe64(ByteView bytes, uint64_t offset) {
  auto low = ReadLe32(bytes, offset);
  auto high = ReadLe32(bytes, offset + 4);
  if (!low || !high) return std::nullopt;
  return static_cast<int64_t>((uint64_t{*high} << 32) | *low);
}

void PutUsages(Bytes* out, const UsageList& usages) {
  out->push_back(usages.present ? 1 : 0);
  out->push_back(usages.usages);
}

UsageList ReadUsages(ByteView bytes, uint64_t offset) {
  return UsageList{.present = bytes[offset] != 0, .usages = bytes[offset + 1]};
}

std::array<uint8_t, 20> Thumbprint(X509* certificate) {
  std::array<uint8_t, 20> thumbprint{};
  unsigned int length = 0;
  X509_digest(certificate, EVP_sha1(), thumbprint.data(), &length);
  return thumbprint;
}

std::string Hex(ByteView bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace

std::optional<Bytes> BuildRootIndex(const std::vector<ListedRoot>& listed, const std::vector<X509Ptr>& certificates,
                                    std::string* error) {
  std::map<std::array<uint8_t, 20>, const RootLimits*> limits;
  for (const ListedRoot& root : listed) limits[root.thumbprint] = &root.limits;

  struct Pending {
    uint32_t nameHash;
    std::array<uint8_t, 20> thumbprint;
    const RootLimits* limits;
    Bytes der;
  };
  std::vector<Pending> pending;
  for (const X509Ptr& certificate : certificates) {
    std::array<uint8_t, 20> thumbprint = Thumbprint(certificate.get());
    auto found = limits.find(thumbprint);
    if (found == limits.end()) {
      *error = "certificate " + Hex(thumbprint) + " is not in the trust list";
      return std::nullopt;
    }
    int ok = 0;
    auto nameHash =
        static_cast<uint32_t>(X509_NAME_hash_ex(X509_get_subject_name(certificate.get()), nullptr, nullptr, &ok));
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate.get(), &der);
    if (!ok || length <= 0) {
      OPENSSL_free(der);
      *error = "certificate " + Hex(thumbprint) + " cannot be encoded";
      return std::nullopt;
    }
    pending.push_back({nameHash, thumbprint, found->second, Bytes(der, der + length)});
    OPENSSL_free(der);
    limits.erase(found);
  }
  if (!limits.empty()) {
    *error = "the trust list names " + Hex(limits.begin()->first) + ", which is not among the certificates";
    return std::nullopt;
  }
  std::sort(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) {
    return std::tie(a.nameHash, a.thumbprint) < std::tie(b.nameHash, b.thumbprint);
  });

  Bytes out(kMagic, kMagic + sizeof kMagic);
  PutLe32(&out, kFormat);
  PutLe32(&out, static_cast<uint32_t>(pending.size()));
  uint64_t derOffset = kHeaderSize + kEntrySize * pending.size();
  for (const Pending& root : pending) {
    PutLe32(&out, root.nameHash);
    PutLe32(&out, static_cast<uint32_t>(derOffset));
    PutLe32(&out, static_cast<uint32_t>(root.der.size()));
    out.insert(out.end(), root.thumbprint.begin(), root.thumbprint.end());
    PutLe64(&out, root.limits->disabledFrom);
    PutLe64(&out, root.limits->notBefore);
    PutUsages(&out, root.limits->enabled);
    PutUsages(&out, root.limits->disallowed);
    PutUsages(&out, root.limits->notBeforeUsages);
    out.push_back(0);
    out.push_back(0);
    derOffset += root.der.size();
  }
  for (const Pending& root : pending) out.insert(out.end(), root.der.begin(), root.der.end());
  return out;
}

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
