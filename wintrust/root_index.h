// The index of the program's roots that the build prepares beside the
// library: every root's DER and limits, found by the hash of its subject name,
// so a verification reads and decodes only the roots its chains ask for.
//
// Layout, all integers little-endian:
//   header  "SGRROOTS", u32 format (1), u32 entry count
//   entries sorted by name hash, 56 bytes each:
//     u32 name hash (OpenSSL's X509_NAME_hash_ex of the subject)
//     u32 DER offset from the start of the file, u32 DER length
//     20 bytes SHA-1 thumbprint
//     i64 disabledFrom, i64 notBefore (seconds since 1970, 0 for none)
//     6 bytes: present and usage bits of enabled, disallowed, notBeforeUsages
//     2 bytes zero
//   the certificates' DER
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wintrust/byte_view.h"
#include "wintrust/root_limits.h"

namespace wintrust {

// The layout's constants, shared with its writer (root_index_builder.h).
namespace root_index {
constexpr char kMagic[8] = {'S', 'G', 'R', 'R', 'O', 'O', 'T', 'S'};
constexpr uint32_t kFormat = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kEntrySize = 56;
}  // namespace root_index

class RootIndex {
 public:
  struct Entry {
    uint32_t nameHash = 0;
    ByteView der;
    std::array<uint8_t, 20> thumbprint{};
    RootLimits limits;
  };

  RootIndex() = default;
  RootIndex(RootIndex&&) = default;
  RootIndex& operator=(RootIndex&&) = default;
  // The entries are views of the index's own bytes.
  RootIndex(const RootIndex&) = delete;
  RootIndex& operator=(const RootIndex&) = delete;

  // Reads the index file at `path`; nothing when it is missing or malformed.
  static std::optional<RootIndex> Open(const std::string& path);
  // Reads an index already in memory.
  static std::optional<RootIndex> FromBytes(Bytes bytes);

  // The entries whose subject name hashes to `nameHash`.
  std::span<const Entry> WithNameHash(uint32_t nameHash) const;

  size_t size() const { return entries_.size(); }

 private:
  Bytes bytes_;
  std::vector<Entry> entries_;
};

}  // namespace wintrust
