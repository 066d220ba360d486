// The index of the program's roots that the build prepares beside the
// library: every root's DER and limits, found by the hash of its subject name,
// so a verification reads and decodes only the roots its chains ask for.
//
// Layout, all integers little-endian:
//   header  "SGRROOTS", u32 format (2), u32 entry count, 32 bytes SHA-256
//           of the entries, so a damaged table is refused as a whole
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
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/roots/root_limits.h"

namespace wintrust {

// The layout's constants, shared with its writer (root_index_builder.h).
namespace root_index {
constexpr char kMagic[8] = {'S', 'G', 'R', 'R', 'O', 'O', 'T', 'S'};
constexpr uint32_t kFormat = 2;
constexpr size_t kHeaderSize = 48;
constexpr size_t kChecksumOffset = 16;
constexpr size_t kEntrySize = 56;
}  // namespace root_index

class RootIndex {
 public:
  struct Entry {
    uint32_t nameHash = 0;
    uint64_t derOffset = 0;  // inside the index, checked when it was opened
    uint32_t derLength = 0;
    std::array<uint8_t, 20> thumbprint{};
    RootLimits limits;
  };

  RootIndex() = default;
  RootIndex(RootIndex&&) = default;
  RootIndex& operator=(RootIndex&&) = default;

  // Opens the index file at `path` and reads its table; the certificates
  // are read when asked for. Nothing when it is missing, not a regular
  // file, cut short, or its table does not match its checksum.
  static std::optional<RootIndex> Open(const std::string& path);
  // Reads an index already in memory.
  static std::optional<RootIndex> FromBytes(Bytes bytes);

  // The entries whose subject name hashes to `nameHash`.
  std::span<const Entry> WithNameHash(uint32_t nameHash) const;

  // The DER of `entry`'s certificate, read now; empty when the read fails
  // or the bytes read are not the certificate whose thumbprint the entry
  // holds.
  Bytes Der(const Entry& entry) const;

  size_t size() const { return entries_.size(); }

 private:
  static std::optional<RootIndex> ReadTable(RootIndex index);

  Bytes bytes_;  // an index given in memory, which source_ reads
  std::unique_ptr<ByteSource> source_;
  std::vector<Entry> entries_;
};

}  // namespace wintrust
