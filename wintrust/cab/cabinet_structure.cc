#include "wintrust/cab/cabinet_structure.h"

#include <algorithm>

namespace wintrust {
namespace {

// CFHEADER fields.
constexpr uint64_t kReserved1Field = 4;
constexpr uint64_t kReserved2Field = 12;
constexpr uint64_t kFirstFileField = 16;  // coffFiles
constexpr uint64_t kReserved3Field = 20;
constexpr uint64_t kFolderCountField = 26;
constexpr uint64_t kFlagsField = 30;
constexpr uint64_t kHeaderReserveField = 36;  // cbCFHeader
constexpr uint64_t kFolderReserveField = 38;  // cbCFFolder
constexpr uint64_t kDataReserveField = 39;    // cbCFData
constexpr uint16_t kPreviousCabinet = 0x0001;
constexpr uint16_t kNextCabinet = 0x0002;

// The signature descriptor that fills the header reserve: a fixed first
// field, the signature's offset and size, and four zero bytes the digest
// skips (the last four it covers).
constexpr uint16_t kDescriptorSize = 20;
constexpr uint64_t kDescriptorTagField = 40;
constexpr uint32_t kDescriptorTag = 0x00100000;
constexpr uint64_t kDescriptorZeroField = 52;

// A CFFOLDER's fixed part (coffCabStart, cCFData, typeCompress) and a
// CFDATA's (csum, cbData, cbUncomp).
constexpr uint64_t kFolderSize = 8;
constexpr uint64_t kDataHeaderSize = 8;
// The longest cabinet or disk name the format allows, its NUL included.
constexpr uint64_t kMaxNameSize = 256;

// Skips a NUL-terminated name at `*at`: kNotThisFormat when it is longer than
// the format allows or does not end before `end`.
SubjectStatus SkipName(const ByteSource& file, uint64_t end, uint64_t* at) {
  uint8_t name[kMaxNameSize];
  const uint64_t length = std::min<uint64_t>(kMaxNameSize, end > *at ? end - *at : 0);
  if (!file.Read(*at, std::span<uint8_t>(name, static_cast<size_t>(length)))) return SubjectStatus::kReadFault;
  for (uint64_t i = 0; i < length; ++i) {
    if (name[i] == 0) {
      *at += i + 1;
      return SubjectStatus::kOk;
    }
  }
  return SubjectStatus::kNotThisFormat;
}

}  // namespace

SubjectStatus CheckSignedCabinetStructure(const ByteSource& file, ByteView header, uint64_t cabinetEnd) {
  if (header.size() < kSignedCabinetHeaderSize || !RangeInside(file.size(), 0, cabinetEnd)) {
    return SubjectStatus::kNotThisFormat;
  }
  if (*ReadLe32(header, kReserved1Field) != 0 || *ReadLe32(header, kReserved2Field) != 0 ||
      *ReadLe32(header, kReserved3Field) != 0 || *ReadLe16(header, kHeaderReserveField) != kDescriptorSize ||
      *ReadLe32(header, kDescriptorTagField) != kDescriptorTag || *ReadLe32(header, kDescriptorZeroField) != 0) {
    return SubjectStatus::kNotThisFormat;
  }

  uint64_t at = kSignedCabinetHeaderSize;
  const uint16_t flags = *ReadLe16(header, kFlagsField);
  const int names = ((flags & kPreviousCabinet) != 0 ? 2 : 0) + ((flags & kNextCabinet) != 0 ? 2 : 0);
  for (int i = 0; i < names; ++i) {
    SubjectStatus status = SkipName(file, cabinetEnd, &at);
    if (status != SubjectStatus::kOk) return status;
  }

  // The folder table ends where the covered field coffFiles says the file
  // entries start; a changed per-folder reserve size moves its end.
  const uint64_t folderEntrySize = kFolderSize + header[kFolderReserveField];
  const uint64_t folderCount = *ReadLe16(header, kFolderCountField);
  const uint64_t firstFile = *ReadLe32(header, kFirstFileField);
  if (at + folderCount * folderEntrySize != firstFile || firstFile > cabinetEnd) return SubjectStatus::kNotThisFormat;

  // Every data block lies after the file entries and before the signature.
  // Blocks that do not overlap number at most one per 8 bytes there, so a
  // walk past that count, over all folders, is one that overlaps.
  const uint64_t dataReserve = header[kDataReserveField];
  uint64_t blocksLeft = (cabinetEnd - firstFile) / kDataHeaderSize;
  for (uint64_t folder = 0; folder < folderCount; ++folder) {
    uint8_t entry[kFolderSize];
    if (!file.Read(at + folder * folderEntrySize, entry)) return SubjectStatus::kReadFault;
    uint64_t block = *ReadLe32(entry, 0);
    const uint16_t blockCount = *ReadLe16(entry, 4);
    if (block < firstFile || block > cabinetEnd) return SubjectStatus::kNotThisFormat;
    for (uint16_t i = 0; i < blockCount; ++i) {
      if (blocksLeft == 0 || !RangeInside(cabinetEnd, block, kDataHeaderSize)) return SubjectStatus::kNotThisFormat;
      --blocksLeft;
      uint8_t blockHeader[kDataHeaderSize];
      if (!file.Read(block, blockHeader)) return SubjectStatus::kReadFault;
      block += kDataHeaderSize + dataReserve + *ReadLe16(blockHeader, 4);
      if (block > cabinetEnd) return SubjectStatus::kNotThisFormat;
    }
  }
  return SubjectStatus::kOk;
}

}  // namespace wintrust
