// The central directory of a ZIP file, read with bounds on everything: the
// end records (ZIP64 included), every entry's names and sizes, and where
// each entry's data starts. Only single-disk archives are read; entries are
// kept in the order the central directory lists them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"
#include "wintrust/subject/subject.h"

namespace wintrust {

// Limits far above any real package and far below what would strain the
// caller's memory: the central directory is held whole.
constexpr uint64_t kMaxZipDirectorySize = uint64_t{64} << 20;
constexpr uint64_t kMaxZipEntries = uint64_t{1} << 20;

constexpr uint16_t kZipStored = 0;
constexpr uint16_t kZipDeflated = 8;
constexpr uint16_t kZipDataDescriptorFlag = 0x0008;

struct ZipEntry {
  std::string name;  // as stored: bytes, '/' between folders
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc32 = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  uint64_t localHeaderOffset = 0;
  // Set by ReadZipRecords: the local header's size and where the record
  // (header, data and any data descriptor) ends.
  uint64_t localHeaderSize = 0;
  uint64_t recordEnd = 0;
  uint64_t dataOffset() const { return localHeaderOffset + localHeaderSize; }
  // This entry's record inside ZipArchive::directory.
  size_t recordOffset = 0;
  size_t recordSize = 0;
};

struct ZipArchive {
  std::vector<ZipEntry> entries;
  Bytes directory;  // the central directory's bytes
  uint64_t directoryOffset = 0;
  // The end of central directory record's fields that may hold the "see the
  // ZIP64 record" marks, and its comment.
  uint16_t endEntries = 0;
  uint32_t endDirectorySize = 0;
  uint32_t endDirectoryOffset = 0;
  Bytes endComment;
  // The ZIP64 end record and its locator, when the archive has them.
  bool zip64 = false;
  uint64_t zip64RecordSize = 0;  // its size field: the record less 12 bytes
  uint16_t zip64CreatorVersion = 0;
  uint16_t zip64NeededVersion = 0;
  Bytes zip64Extensible;
  uint32_t zip64TotalDisks = 0;
};

// Reads the end records and the central directory. kNotThisFormat when the
// file is no ZIP, spans disks, or its directory is damaged, cut, holds a
// name twice or passes a limit, or when an end record field not marked as
// found in the ZIP64 record differs from it; kReadFault when a read fails.
SubjectStatus ReadZipArchive(const ByteSource& file, ZipArchive* archive);

// Reads every entry's local header and accounts for every byte from the
// file's start to the central directory: the records follow one another in
// the directory's order with nothing between or beyond them; each local
// header gives the directory's name, method and flags and, unless they are
// deferred to a data descriptor, its CRC-32 and sizes; a data descriptor
// repeats them. kNotThisFormat when not; kReadFault when a read fails.
SubjectStatus ReadZipRecords(const ByteSource& file, ZipArchive* archive);

// The entry named `name`; null when there is none.
const ZipEntry* FindZipEntry(const ZipArchive& archive, std::string_view name);

}  // namespace wintrust
