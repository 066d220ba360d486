#include "wintrust/pe/pe_image.h"

#include <algorithm>
#include <array>

namespace wintrust {
namespace {

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectoryIndex = 4;
constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;
constexpr uint64_t kWinCertHeaderSize = 8;

constexpr uint64_t kDosHeaderSize = 0x40;
constexpr uint64_t kLfanewField = 0x3C;
// "PE\0\0", the 20-byte COFF header and the optional header's magic.
constexpr uint64_t kNtPrefixSize = 4 + 20 + 2;
constexpr uint64_t kSectionHeaderSize = 40;

// Offsets inside the optional header.
constexpr uint64_t kChecksumField = 64;
constexpr uint64_t kPe32RvaCountField = 92;
constexpr uint64_t kPe32PlusRvaCountField = 108;
// The part of the optional header read: up to the end of the certificate
// table's directory entry in a PE32+ header.
constexpr uint64_t kOptionalBytesRead = kPe32PlusRvaCountField + 4 + (kSecurityDirectoryIndex + 1) * 8;

// Reads the table's entry headers through a window of fixed size, so that a
// table of many small entries costs one read per window, not one per entry.
class WindowReader {
 public:
  explicit WindowReader(const ByteSource& file) : file_(file) {}

  // The 8 bytes at `offset`, which the caller has checked lie in the file.
  bool ReadHeader(uint64_t offset, uint8_t* out) {
    if (offset < start_ || offset - start_ + kWinCertHeaderSize > filled_) {
      uint64_t length = std::min<uint64_t>(window_.size(), file_.size() - offset);
      if (!file_.Read(offset, std::span<uint8_t>(window_.data(), length))) {
        return false;
      }
      start_ = offset;
      filled_ = length;
    }
    std::copy_n(window_.data() + (offset - start_), kWinCertHeaderSize, out);
    return true;
  }

 private:
  const ByteSource& file_;
  std::array<uint8_t, 4096> window_{};
  uint64_t start_ = 0;
  uint64_t filled_ = 0;
};

}  // namespace

PeStatus ParsePeHeaders(const ByteSource& file, PeImage* image) {
  *image = PeImage{};
  const uint64_t size = file.size();

  uint8_t dos[kDosHeaderSize];
  if (!RangeInside(size, 0, sizeof dos)) return PeStatus::kNotPe;
  if (!file.Read(0, dos)) return PeStatus::kReadFault;
  if (*ReadLe16(dos, 0) != 0x5A4D) return PeStatus::kNotPe;  // "MZ"
  // e_lfanew is read unsigned: a "negative" value is an offset past 2 GiB,
  // which the range check below refuses like any other.
  const uint64_t ntHeaders = *ReadLe32(dos, kLfanewField);

  uint8_t nt[kNtPrefixSize];
  if (!RangeInside(size, ntHeaders, sizeof nt)) return PeStatus::kNotPe;
  if (!file.Read(ntHeaders, nt)) return PeStatus::kReadFault;
  if (*ReadLe32(nt, 0) != 0x00004550) return PeStatus::kNotPe;  // "PE\0\0"
  const uint16_t sectionCount = *ReadLe16(nt, 4 + 2);
  const uint16_t optionalSize = *ReadLe16(nt, 4 + 16);
  const uint16_t magic = *ReadLe16(nt, 4 + 20);
  uint64_t rvaCountField;
  if (magic == kPe32Magic) {
    rvaCountField = kPe32RvaCountField;
  } else if (magic == kPe32PlusMagic) {
    rvaCountField = kPe32PlusRvaCountField;
    image->pe32Plus = true;
  } else {
    return PeStatus::kNotPe;
  }
  // The fixed part of the optional header, up to the data directories, must be
  // declared and present; so must the section table after it.
  const uint64_t optional = ntHeaders + 4 + 20;
  const uint64_t directories = rvaCountField + 4;
  if (optionalSize < directories) return PeStatus::kNotPe;
  const uint64_t sectionTable = optional + optionalSize;
  const uint64_t sectionTableSize = uint64_t{sectionCount} * kSectionHeaderSize;
  if (!RangeInside(size, optional, optionalSize) || !RangeInside(size, sectionTable, sectionTableSize)) {
    return PeStatus::kNotPe;
  }

  uint8_t optionalBytes[kOptionalBytesRead];
  const uint64_t readLength = std::min<uint64_t>(optionalSize, sizeof optionalBytes);
  const ByteView header(optionalBytes, static_cast<size_t>(readLength));
  if (!file.Read(optional, std::span<uint8_t>(optionalBytes, header.size()))) {
    return PeStatus::kReadFault;
  }
  image->checksumOffset = optional + kChecksumField;
  image->headersEnd = sectionTable + sectionTableSize;
  image->numberOfRvaAndSizes = *ReadLe32(header, rvaCountField);

  const uint64_t entry = directories + uint64_t{kSecurityDirectoryIndex} * 8;
  // The entry counts only when the header declares it, both by the number of
  // directories and by the optional header's size.
  if (image->numberOfRvaAndSizes > kSecurityDirectoryIndex && entry + 8 <= optionalSize) {
    image->securityEntryOffset = optional + entry;
    image->certTableOffset = *ReadLe32(header, entry);
    image->certTableSize = *ReadLe32(header, entry + 4);
  }
  return PeStatus::kOk;
}

PeStatus ParsePeHeaders(ByteView file, PeImage* image) {
  return ParsePeHeaders(MemorySource(file), image);
}

PeStatus FindPkcs7Signature(const ByteSource& file, const PeImage& image, SignatureBlob* blob) {
  *blob = SignatureBlob{};
  if (image.securityEntryOffset == 0 || image.certTableOffset == 0 || image.certTableSize == 0) {
    return PeStatus::kNoSignature;
  }
  const uint64_t begin = image.certTableOffset;
  const uint64_t end = begin + uint64_t{image.certTableSize};
  // Nothing may follow the table, and it may not reach into the headers
  // whose fields the digest treats specially.
  if (end != file.size() || begin < image.headersEnd) return PeStatus::kNoSignature;

  WindowReader reader(file);
  uint64_t position = begin;
  while (end - position >= kWinCertHeaderSize) {
    uint8_t header[kWinCertHeaderSize];
    if (!reader.ReadHeader(position, header)) return PeStatus::kReadFault;
    const uint32_t length = *ReadLe32(header, 0);
    const uint16_t revision = *ReadLe16(header, 4);
    const uint16_t type = *ReadLe16(header, 6);
    if (length < kWinCertHeaderSize || length > end - position) {
      return PeStatus::kNoSignature;
    }
    if (revision == kWinCertRevision2 && type == kWinCertTypePkcsSignedData) {
      const uint64_t contentLength = length - kWinCertHeaderSize;
      if (contentLength > kMaxSignatureSize) return PeStatus::kTooLarge;
      blob->offset = position + kWinCertHeaderSize;
      blob->bytes.resize(static_cast<size_t>(contentLength));
      if (!file.Read(blob->offset, blob->bytes)) return PeStatus::kReadFault;
      return PeStatus::kOk;
    }
    // Entries start on 8-byte boundaries.
    const uint64_t step = (uint64_t{length} + 7) & ~uint64_t{7};
    if (step >= end - position) break;
    position += step;
  }
  return PeStatus::kNoSignature;
}

}  // namespace wintrust
