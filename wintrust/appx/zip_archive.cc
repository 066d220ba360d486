#include "wintrust/appx/zip_archive.h"

#include <algorithm>

namespace wintrust {
namespace {

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kDirectorySignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint64_t kEndSize = 22;
constexpr uint64_t kMaxCommentSize = 0xFFFF;
constexpr uint64_t kZip64LocatorSize = 20;
constexpr uint64_t kZip64EndFixedSize = 56;
constexpr uint64_t kDirectoryRecordSize = 46;
constexpr uint64_t kLocalHeaderSize = 30;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint32_t kDescriptorSignature = 0x08074B50;
constexpr uint32_t kMarked32 = 0xFFFFFFFF;

// Finds the end of central directory record: the last one whose comment
// reaches exactly to the end of the file.
SubjectStatus FindEnd(const ByteSource& file, uint64_t* endOffset, Bytes* tail) {
  if (file.size() < kEndSize) return SubjectStatus::kNotThisFormat;
  const uint64_t tailSize = std::min<uint64_t>(file.size(), kEndSize + kMaxCommentSize);
  tail->resize(static_cast<size_t>(tailSize));
  if (!file.Read(file.size() - tailSize, *tail)) return SubjectStatus::kReadFault;
  for (uint64_t at = tailSize - kEndSize + 1; at-- > 0;) {
    if (*ReadLe32(*tail, at) == kEndSignature && at + kEndSize + *ReadLe16(*tail, at + 20) == tailSize) {
      *endOffset = file.size() - tailSize + at;
      tail->erase(tail->begin(), tail->begin() + static_cast<ptrdiff_t>(at));
      return SubjectStatus::kOk;
    }
  }
  return SubjectStatus::kNotThisFormat;
}

SubjectStatus ReadZip64End(const ByteSource& file, uint64_t endOffset, ZipArchive* archive, uint64_t* entryCount,
                           uint64_t* directorySize) {
  if (endOffset < kZip64LocatorSize) return SubjectStatus::kNotThisFormat;
  uint8_t locator[kZip64LocatorSize];
  if (!file.Read(endOffset - kZip64LocatorSize, locator)) return SubjectStatus::kReadFault;
  if (*ReadLe32(locator, 0) != kZip64LocatorSignature || *ReadLe32(locator, 4) != 0) {
    return SubjectStatus::kNotThisFormat;
  }
  const uint64_t recordOffset = *ReadLe64(locator, 8);
  archive->zip64TotalDisks = *ReadLe32(locator, 16);
  if (archive->zip64TotalDisks != 1) return SubjectStatus::kNotThisFormat;
  // The record lies whole before the locator.
  const uint64_t limit = endOffset - kZip64LocatorSize;
  if (!RangeInside(limit, recordOffset, kZip64EndFixedSize)) return SubjectStatus::kNotThisFormat;
  uint8_t record[kZip64EndFixedSize];
  if (!file.Read(recordOffset, record)) return SubjectStatus::kReadFault;
  archive->zip64RecordSize = *ReadLe64(record, 4);
  if (*ReadLe32(record, 0) != kZip64EndSignature || archive->zip64RecordSize < kZip64EndFixedSize - 12 ||
      archive->zip64RecordSize + 12 != limit - recordOffset || *ReadLe32(record, 16) != 0 ||
      *ReadLe32(record, 20) != 0 || *ReadLe64(record, 24) != *ReadLe64(record, 32)) {
    return SubjectStatus::kNotThisFormat;
  }
  archive->zip64 = true;
  archive->zip64CreatorVersion = *ReadLe16(record, 12);
  archive->zip64NeededVersion = *ReadLe16(record, 14);
  *entryCount = *ReadLe64(record, 32);
  *directorySize = *ReadLe64(record, 40);
  archive->directoryOffset = *ReadLe64(record, 48);
  const uint64_t extensibleSize = archive->zip64RecordSize + 12 - kZip64EndFixedSize;
  if (extensibleSize > kMaxCommentSize) return SubjectStatus::kNotThisFormat;
  archive->zip64Extensible.resize(static_cast<size_t>(extensibleSize));
  if (!file.Read(recordOffset + kZip64EndFixedSize, archive->zip64Extensible)) return SubjectStatus::kReadFault;
  // The central directory ends where the ZIP64 record starts.
  return archive->directoryOffset <= recordOffset && *directorySize == recordOffset - archive->directoryOffset
             ? SubjectStatus::kOk
             : SubjectStatus::kNotThisFormat;
}

// Replaces the fields marked 0xFFFFFFFF with the ZIP64 extra field's values,
// in the order the format gives them.
bool ApplyZip64Extra(ByteView extra, uint32_t compressed32, uint32_t uncompressed32, uint32_t offset32,
                     ZipEntry* entry) {
  for (uint64_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = *ReadLe16(extra, at);
    const uint16_t size = *ReadLe16(extra, at + 2);
    if (!RangeInside(extra.size(), at + 4, size)) return false;
    if (id == kZip64ExtraId) {
      ByteView field = extra.subspan(static_cast<size_t>(at + 4), size);
      uint64_t position = 0;
      for (auto [marked, target] : {std::pair{uncompressed32 == 0xFFFFFFFF, &entry->uncompressedSize},
                                    std::pair{compressed32 == 0xFFFFFFFF, &entry->compressedSize},
                                    std::pair{offset32 == 0xFFFFFFFF, &entry->localHeaderOffset}}) {
        if (!marked) continue;
        auto value = ReadLe64(field, position);
        if (!value) return false;
        *target = *value;
        position += 8;
      }
      return true;
    }
    at += 4 + uint64_t{size};
  }
  // Without the extra field, a marked value is missing.
  return compressed32 != 0xFFFFFFFF && uncompressed32 != 0xFFFFFFFF && offset32 != 0xFFFFFFFF;
}

SubjectStatus ParseDirectory(uint64_t entryCount, ZipArchive* archive) {
  const ByteView directory = archive->directory;
  archive->entries.reserve(static_cast<size_t>(entryCount));
  uint64_t at = 0;
  for (uint64_t i = 0; i < entryCount; ++i) {
    if (!RangeInside(directory.size(), at, kDirectoryRecordSize) || *ReadLe32(directory, at) != kDirectorySignature) {
      return SubjectStatus::kNotThisFormat;
    }
    const uint16_t nameSize = *ReadLe16(directory, at + 28);
    const uint16_t extraSize = *ReadLe16(directory, at + 30);
    const uint16_t commentSize = *ReadLe16(directory, at + 32);
    const uint64_t recordSize = kDirectoryRecordSize + nameSize + extraSize + commentSize;
    if (!RangeInside(directory.size(), at, recordSize) || nameSize == 0 || *ReadLe16(directory, at + 34) != 0) {
      return SubjectStatus::kNotThisFormat;
    }
    ZipEntry entry;
    entry.flags = *ReadLe16(directory, at + 8);
    entry.method = *ReadLe16(directory, at + 10);
    entry.crc32 = *ReadLe32(directory, at + 16);
    const uint32_t compressed32 = *ReadLe32(directory, at + 20);
    const uint32_t uncompressed32 = *ReadLe32(directory, at + 24);
    const uint32_t offset32 = *ReadLe32(directory, at + 42);
    entry.compressedSize = compressed32;
    entry.uncompressedSize = uncompressed32;
    entry.localHeaderOffset = offset32;
    const uint8_t* name = directory.data() + at + kDirectoryRecordSize;
    entry.name.assign(name, name + nameSize);
    if (!ApplyZip64Extra(directory.subspan(static_cast<size_t>(at + kDirectoryRecordSize + nameSize), extraSize),
                         compressed32, uncompressed32, offset32, &entry)) {
      return SubjectStatus::kNotThisFormat;
    }
    entry.recordOffset = static_cast<size_t>(at);
    entry.recordSize = static_cast<size_t>(recordSize);
    archive->entries.push_back(std::move(entry));
    at += recordSize;
  }
  if (at != directory.size()) return SubjectStatus::kNotThisFormat;
  // A name listed twice would let the data checked and the data used differ.
  std::vector<std::string_view> names;
  names.reserve(archive->entries.size());
  for (const ZipEntry& entry : archive->entries) names.push_back(entry.name);
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) == names.end() ? SubjectStatus::kOk
                                                                       : SubjectStatus::kNotThisFormat;
}

}  // namespace

SubjectStatus ReadZipArchive(const ByteSource& file, ZipArchive* archive) {
  *archive = ZipArchive{};
  uint64_t endOffset = 0;
  Bytes end;
  SubjectStatus status = FindEnd(file, &endOffset, &end);
  if (status != SubjectStatus::kOk) return status;
  if (*ReadLe16(end, 4) != 0 || *ReadLe16(end, 6) != 0 || *ReadLe16(end, 8) != *ReadLe16(end, 10)) {
    return SubjectStatus::kNotThisFormat;
  }
  archive->endEntries = *ReadLe16(end, 10);
  archive->endDirectorySize = *ReadLe32(end, 12);
  archive->endDirectoryOffset = *ReadLe32(end, 16);
  archive->endComment.assign(end.begin() + kEndSize, end.end());
  uint64_t entryCount = archive->endEntries;
  uint64_t directorySize = archive->endDirectorySize;
  archive->directoryOffset = archive->endDirectoryOffset;
  const bool marked = archive->endEntries == 0xFFFF || archive->endDirectorySize == 0xFFFFFFFF ||
                      archive->endDirectoryOffset == 0xFFFFFFFF;
  bool hasLocator = false;
  if (endOffset >= kZip64LocatorSize) {
    uint8_t signature[4];
    if (!file.Read(endOffset - kZip64LocatorSize, signature)) return SubjectStatus::kReadFault;
    hasLocator = *ReadLe32(signature, 0) == kZip64LocatorSignature;
  }
  if (marked || hasLocator) {
    status = ReadZip64End(file, endOffset, archive, &entryCount, &directorySize);
    if (status != SubjectStatus::kOk) return status;
    // A field that does not point to the ZIP64 record must say what it
    // says: the digest hashes such fields as they are stored.
    if ((archive->endEntries != 0xFFFF && archive->endEntries != entryCount) ||
        (archive->endDirectorySize != kMarked32 && archive->endDirectorySize != directorySize) ||
        (archive->endDirectoryOffset != kMarked32 && archive->endDirectoryOffset != archive->directoryOffset)) {
      return SubjectStatus::kNotThisFormat;
    }
  } else if (archive->directoryOffset > endOffset || directorySize != endOffset - archive->directoryOffset) {
    // The central directory ends where the end record starts.
    return SubjectStatus::kNotThisFormat;
  }
  if (entryCount > kMaxZipEntries || directorySize > kMaxZipDirectorySize ||
      directorySize < entryCount * kDirectoryRecordSize) {
    return SubjectStatus::kNotThisFormat;
  }
  archive->directory.resize(static_cast<size_t>(directorySize));
  if (!file.Read(archive->directoryOffset, archive->directory)) return SubjectStatus::kReadFault;
  return ParseDirectory(entryCount, archive);
}

const ZipEntry* FindZipEntry(const ZipArchive& archive, std::string_view name) {
  for (const ZipEntry& entry : archive.entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

namespace {

// Reads the local header of `entry`, which starts at `offset` before
// `limit`, and checks it against the directory's record.
SubjectStatus ReadLocalHeader(const ByteSource& file, uint64_t limit, ZipEntry* entry) {
  if (!RangeInside(limit, entry->localHeaderOffset, kLocalHeaderSize)) return SubjectStatus::kNotThisFormat;
  uint8_t fixed[kLocalHeaderSize];
  if (!file.Read(entry->localHeaderOffset, fixed)) return SubjectStatus::kReadFault;
  const uint64_t headerSize = kLocalHeaderSize + *ReadLe16(fixed, 26) + *ReadLe16(fixed, 28);
  if (*ReadLe32(fixed, 0) != kLocalSignature || !RangeInside(limit, entry->localHeaderOffset, headerSize) ||
      *ReadLe16(fixed, 26) != entry->name.size() || *ReadLe16(fixed, 6) != entry->flags ||
      *ReadLe16(fixed, 8) != entry->method) {
    return SubjectStatus::kNotThisFormat;
  }
  Bytes header(static_cast<size_t>(headerSize));
  if (!file.Read(entry->localHeaderOffset, header)) return SubjectStatus::kReadFault;
  if (!SameBytes(ByteView(header).subspan(kLocalHeaderSize, entry->name.size()),
                 ByteView(reinterpret_cast<const uint8_t*>(entry->name.data()), entry->name.size()))) {
    return SubjectStatus::kNotThisFormat;
  }
  entry->localHeaderSize = headerSize;
  if ((entry->flags & kZipDataDescriptorFlag) != 0) return SubjectStatus::kOk;
  // Sizes past 32 bits are in the local ZIP64 extra field, both of them.
  ZipEntry local;
  const uint32_t compressed32 = *ReadLe32(fixed, 18);
  const uint32_t uncompressed32 = *ReadLe32(fixed, 22);
  local.compressedSize = compressed32;
  local.uncompressedSize = uncompressed32;
  const bool marked = compressed32 == kMarked32 || uncompressed32 == kMarked32;
  if (!ApplyZip64Extra(ByteView(header).subspan(kLocalHeaderSize + entry->name.size()),
                       marked ? kMarked32 : compressed32, marked ? kMarked32 : uncompressed32, 0, &local)) {
    return SubjectStatus::kNotThisFormat;
  }
  return *ReadLe32(fixed, 14) == entry->crc32 && local.compressedSize == entry->compressedSize &&
                 local.uncompressedSize == entry->uncompressedSize
             ? SubjectStatus::kOk
             : SubjectStatus::kNotThisFormat;
}

// The data descriptor of `entry` fills [start, next): with or without its
// signature, sizes of 4 or 8 bytes, each form told apart by its length.
SubjectStatus CheckDataDescriptor(const ByteSource& file, const ZipEntry& entry, uint64_t start, uint64_t next) {
  const uint64_t size = next - start;
  if (size != 12 && size != 16 && size != 20 && size != 24) return SubjectStatus::kNotThisFormat;
  uint8_t descriptor[24];
  if (!file.Read(start, std::span<uint8_t>(descriptor, static_cast<size_t>(size)))) return SubjectStatus::kReadFault;
  const ByteView fields(descriptor, static_cast<size_t>(size));
  const bool withSignature = size == 16 || size == 24;
  if (withSignature && *ReadLe32(fields, 0) != kDescriptorSignature) return SubjectStatus::kNotThisFormat;
  const uint64_t at = withSignature ? 4 : 0;
  const bool wide = size >= 20;
  const uint64_t compressed = wide ? *ReadLe64(fields, at + 4) : *ReadLe32(fields, at + 4);
  const uint64_t uncompressed = wide ? *ReadLe64(fields, at + 12) : *ReadLe32(fields, at + 8);
  return *ReadLe32(fields, at) == entry.crc32 && compressed == entry.compressedSize &&
                 uncompressed == entry.uncompressedSize
             ? SubjectStatus::kOk
             : SubjectStatus::kNotThisFormat;
}

}  // namespace

SubjectStatus ReadZipRecords(const ByteSource& file, ZipArchive* archive) {
  const uint64_t limit = archive->directoryOffset;
  uint64_t reached = 0;
  for (size_t i = 0; i < archive->entries.size(); ++i) {
    ZipEntry& entry = archive->entries[i];
    if (entry.localHeaderOffset != reached) return SubjectStatus::kNotThisFormat;
    SubjectStatus status = ReadLocalHeader(file, limit, &entry);
    if (status != SubjectStatus::kOk) return status;
    if (!RangeInside(limit, entry.dataOffset(), entry.compressedSize)) return SubjectStatus::kNotThisFormat;
    const uint64_t dataEnd = entry.dataOffset() + entry.compressedSize;
    entry.recordEnd = dataEnd;
    if ((entry.flags & kZipDataDescriptorFlag) != 0) {
      // The descriptor reaches the next record, the only way to tell
      // where it ends.
      const uint64_t next = i + 1 < archive->entries.size() ? archive->entries[i + 1].localHeaderOffset : limit;
      if (next < dataEnd) return SubjectStatus::kNotThisFormat;
      status = CheckDataDescriptor(file, entry, dataEnd, next);
      if (status != SubjectStatus::kOk) return status;
      entry.recordEnd = next;
    }
    reached = entry.recordEnd;
  }
  return reached == limit ? SubjectStatus::kOk : SubjectStatus::kNotThisFormat;
}

}  // namespace wintrust
