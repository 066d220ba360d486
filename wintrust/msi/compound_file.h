// Bounds-checked reading of compound files (the OLE structured storage that
// holds MSI packages): the header, the allocation tables, the directory tree
// and the streams' contents, both 512- and 4096-byte sectors, mini streams
// included. Everything is read through a ByteSource with pread; the file is
// never mapped or held whole. What is kept in memory is proportional to the
// file's size and small beside it: the allocation tables that cover the
// file's sectors (4 bytes per sector, 4 bytes per 64 bytes of mini stream),
// the reachable directory entries (at most kMaxCompoundEntries), and each
// stream's list of sectors.
//
// Damage is found where it is: a header, an allocation table, a directory or
// a mini-stream container that cannot be read makes Open fail; a stream
// whose own sector chain is damaged (outside the file, cut, looping, or
// sharing a sector with a chain read before it) is marked and fails only
// when it is read. No structure is walked recursively: sector chains are
// followed in loops bounded by the file's sector count, and the directory's
// trees are walked with an explicit stack, each entry at most once.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"

namespace wintrust {

enum class CompoundFileStatus {
  kOk,
  kNotCompoundFile,  // the file does not start with the compound-file magic
  kDamaged,          // a structure is invalid, or lies outside the file
  kReadFault,        // a read inside the file's size failed or came up short
};

// The first eight bytes of every compound file.
constexpr uint8_t kCompoundFileMagic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// The most directory entries reachable from the root that Open accepts: far
// above any real package (a few hundred), far below what would strain
// memory.
constexpr size_t kMaxCompoundEntries = size_t{1} << 16;

// The deepest level an entry may lie at: the root's members are level 1,
// the members of a storage among them level 2, and so on.
constexpr uint32_t kMaxNestingLevel = 64;

enum class CompoundEntryType : uint8_t {
  kStorage = 1,
  kStream = 2,
  kRoot = 5,
};

// One directory entry as the file stores it.
struct CompoundEntry {
  CompoundEntryType type = CompoundEntryType::kStream;
  // The name in UTF-16LE, its terminating NUL included: nameSize bytes of
  // nameBytes (2 to 64, even). The root's name is not checked.
  std::array<uint8_t, 64> nameBytes{};
  uint16_t nameSize = 0;
  std::array<uint8_t, 16> clsid{};
  std::array<uint8_t, 4> stateBits{};
  std::array<uint8_t, 8> creationTime{};
  std::array<uint8_t, 8> modifiedTime{};
  // The stream's size; in files of version 3 only its low 32 bits, as the
  // format requires (writers may leave garbage in the high half).
  uint64_t size = 0;
  // For the root and storages: the entries() indices of their members, in
  // the order the directory's tree gave them.
  std::vector<uint32_t> children;

  // The name without its terminating NUL.
  ByteView name() const { return ByteView(nameBytes.data(), nameSize < 2 ? 0 : nameSize - 2u); }
};

class CompoundFile {
 public:
  // Reads the structures of the compound file in `file`, which must outlive
  // the result. kNotCompoundFile without the magic; kDamaged when a
  // structure is invalid or lies outside the file; kReadFault when a read
  // fails.
  static CompoundFileStatus Open(const ByteSource& file, std::unique_ptr<CompoundFile>* out);

  // The entries reachable from the root; entries()[0] is the root.
  const std::vector<CompoundEntry>& entries() const { return entries_; }

  uint32_t sectorSize() const { return sectorSize_; }

  // Streams the content of the stream entries()[index] front to back
  // through `buffer` (any non-empty size), handing each piece to `sink`.
  // kDamaged when the entry is no stream or its chain is damaged, kReadFault
  // when a read fails.
  CompoundFileStatus ReadStream(size_t index, std::span<uint8_t> buffer,
                                const std::function<void(ByteView)>& sink) const;

  // The whole content of a stream of at most `limit` bytes, for small
  // streams such as a signature. kDamaged as above, and when it is larger.
  CompoundFileStatus ReadSmallStream(size_t index, uint64_t limit, Bytes* out) const;

 private:
  // Where a stream's content lies: `count` sectors (or mini sectors) of
  // chainSectors_ (or miniChainSectors_) from `first`.
  struct StreamChain {
    bool damaged = false;
    bool inMiniStream = false;
    size_t first = 0;
    size_t count = 0;
  };
  class Loader;

  explicit CompoundFile(const ByteSource& file) : file_(file) {}

  const ByteSource& file_;
  uint32_t sectorSize_ = 0;
  std::vector<CompoundEntry> entries_;
  std::vector<StreamChain> chains_;         // parallel to entries_
  std::vector<uint32_t> chainSectors_;      // the regular streams' sectors
  std::vector<uint32_t> miniChainSectors_;  // the mini streams' mini sectors
  std::vector<uint32_t> miniContainer_;     // the sectors of the mini stream
};

}  // namespace wintrust
