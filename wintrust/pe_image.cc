#include "wintrust/pe_image.h"

namespace wintrust {
namespace {

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectoryIndex = 4;
constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr uint64_t kWinCertHeaderSize = 8;

// Offsets inside the optional header.
constexpr uint64_t kChecksumField = 64;
constexpr uint64_t kPe32RvaCountField = 92;
constexpr uint64_t kPe32PlusRvaCountField = 108;

}  // namespace

PeStatus ParsePeHeaders(ByteView file, PeImage* image) {
  *image = PeImage{};
  auto mz = ReadLe16(file, 0);
  if (!mz || *mz != 0x5A4D) return PeStatus::kNotPe;
  auto lfanew = ReadLe32(file, 0x3C);
  if (!lfanew) return PeStatus::kNotPe;
  uint64_t ntHeaders = *lfanew;
  auto signature = ReadLe32(file, ntHeaders);
  if (!signature || *signature != 0x00004550) return PeStatus::kNotPe;  // "PE\0\0"
  uint64_t coff = ntHeaders + 4;
  auto sectionCount = ReadLe16(file, coff + 2);
  auto optionalSize = ReadLe16(file, coff + 16);
  if (!sectionCount || !optionalSize) return PeStatus::kNotPe;
  uint64_t optional = coff + 20;
  auto magic = ReadLe16(file, optional);
  if (!magic) return PeStatus::kNotPe;
  uint64_t rvaCountField;
  if (*magic == kPe32Magic) {
    rvaCountField = kPe32RvaCountField;
  } else if (*magic == kPe32PlusMagic) {
    rvaCountField = kPe32PlusRvaCountField;
    image->pe32Plus = true;
  } else {
    return PeStatus::kNotPe;
  }
  // The fixed part of the optional header, up to the data directories, must be
  // declared and present; so must the section table after it.
  uint64_t directories = rvaCountField + 4;
  if (*optionalSize < directories) return PeStatus::kNotPe;
  uint64_t sectionTable = optional + *optionalSize;
  uint64_t sectionTableSize = uint64_t{*sectionCount} * 40;
  if (!RangeInside(file.size(), optional, *optionalSize) ||
      !RangeInside(file.size(), sectionTable, sectionTableSize)) {
    return PeStatus::kNotPe;
  }
  image->checksumOffset = optional + kChecksumField;
  image->headersEnd = sectionTable + sectionTableSize;
  image->numberOfRvaAndSizes = *ReadLe32(file, optional + rvaCountField);

  uint64_t entry = optional + directories + uint64_t{kSecurityDirectoryIndex} * 8;
  // The entry counts only when the header declares it, both by the number of
  // directories and by the optional header's size.
  if (image->numberOfRvaAndSizes > kSecurityDirectoryIndex &&
      entry + 8 <= optional + *optionalSize) {
    image->securityEntryOffset = entry;
    image->certTableOffset = *ReadLe32(file, entry);
    image->certTableSize = *ReadLe32(file, entry + 4);
  }
  return PeStatus::kOk;
}

PeStatus FindPkcs7Signature(ByteView file, const PeImage& image, ByteView* blob) {
  *blob = {};
  if (image.securityEntryOffset == 0 || image.certTableOffset == 0 ||
      image.certTableSize == 0) {
    return PeStatus::kNoSignature;
  }
  uint64_t begin = image.certTableOffset;
  uint64_t end = begin + uint64_t{image.certTableSize};
  // Nothing may follow the table, and it may not reach into the headers
  // whose fields the digest treats specially.
  if (end != file.size() || begin < image.headersEnd) return PeStatus::kNoSignature;

  uint64_t position = begin;
  while (end - position >= kWinCertHeaderSize) {
    uint32_t length = *ReadLe32(file, position);
    uint16_t revision = *ReadLe16(file, position + 4);
    uint16_t type = *ReadLe16(file, position + 6);
    if (length < kWinCertHeaderSize || length > end - position) {
      return PeStatus::kNoSignature;
    }
    if (revision == kWinCertRevision2 && type == kWinCertTypePkcsSignedData) {
      *blob = *SubView(file, position + kWinCertHeaderSize,
                       length - kWinCertHeaderSize);
      return PeStatus::kOk;
    }
    // Entries start on 8-byte boundaries.
    uint64_t step = (uint64_t{length} + 7) & ~uint64_t{7};
    if (step >= end - position) break;
    position += step;
  }
  return PeStatus::kNoSignature;
}

}  // namespace wintrust
