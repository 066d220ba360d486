#include "wintrust/cab/cabinet.h"

#include <vector>

#include "wintrust/cab/cabinet_structure.h"
#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

constexpr uint32_t kCabinetSignature = 0x4643534D;  // "MSCF"
constexpr uint16_t kReservePresent = 0x0004;

// CFHEADER's fixed part, and the reserve sizes that follow it when the
// reserve is present.
constexpr uint64_t kFixedHeaderSize = 36;
constexpr uint64_t kFlagsField = 30;
constexpr uint64_t kReserveSizesSize = 4;
constexpr uint64_t kReserveStart = kFixedHeaderSize + kReserveSizesSize;

// The signature locator at the start of the header reserve.
constexpr uint64_t kLocatorSize = 20;
constexpr uint64_t kLocatorOffsetField = kReserveStart + 4;
constexpr uint64_t kLocatorSizeField = kReserveStart + 8;

// The ranges the digest skips: reserved1, and everything from iCabinet to
// the last four bytes of the locator.
constexpr uint64_t kReserved1Start = 4;
constexpr uint64_t kReserved1End = 8;
constexpr uint64_t kSkippedStart = 34;
constexpr uint64_t kSkippedEnd = kReserveStart + 16;

class CabinetSubject final : public Subject {
 public:
  CabinetSubject(const ByteSource& file, const CabinetLayout& layout) : file_(file), layout_(layout) {}

  SubjectStatus ReadSignature(Bytes* blob) const override { return ReadCabinetSignature(file_, layout_, blob); }

  SubjectStatus ComputeDigest(const EVP_MD* md, Bytes* digest) const override {
    return ComputeCabinetDigest(file_, layout_, md, digest);
  }

 private:
  const ByteSource& file_;
  CabinetLayout layout_;
};

}  // namespace

SubjectStatus ReadCabinetLayout(const ByteSource& file, CabinetLayout* layout) {
  *layout = CabinetLayout{};
  uint8_t header[kReserveStart + kLocatorSize];
  if (!RangeInside(file.size(), 0, kFixedHeaderSize)) return SubjectStatus::kNotThisFormat;
  if (!file.Read(0, std::span<uint8_t>(header, kFixedHeaderSize))) return SubjectStatus::kReadFault;
  if (*ReadLe32(header, 0) != kCabinetSignature) return SubjectStatus::kNotThisFormat;
  if ((*ReadLe16(header, kFlagsField) & kReservePresent) == 0) return SubjectStatus::kOk;

  if (!RangeInside(file.size(), 0, kReserveStart)) return SubjectStatus::kNotThisFormat;
  if (!file.Read(kFixedHeaderSize, std::span<uint8_t>(header + kFixedHeaderSize, kReserveSizesSize))) {
    return SubjectStatus::kReadFault;
  }
  const uint16_t reserveSize = *ReadLe16(header, kFixedHeaderSize);
  layout->reserveEnd = kReserveStart + reserveSize;
  if (!RangeInside(file.size(), 0, layout->reserveEnd)) return SubjectStatus::kNotThisFormat;
  // A reserve too small for the locator holds no signature.
  if (reserveSize < kLocatorSize) return SubjectStatus::kOk;
  if (!file.Read(kReserveStart, std::span<uint8_t>(header + kReserveStart, kLocatorSize))) {
    return SubjectStatus::kReadFault;
  }
  layout->hasLocator = true;
  layout->signatureOffset = *ReadLe32(header, kLocatorOffsetField);
  layout->signatureSize = *ReadLe32(header, kLocatorSizeField);
  // A cabinet whose locator finds a signature ending the file is a signed
  // cabinet: the fields the digest skips must then say what signing wrote.
  const uint64_t signatureEnd = uint64_t{layout->signatureOffset} + layout->signatureSize;
  if (layout->signatureOffset >= layout->reserveEnd && layout->signatureSize != 0 && signatureEnd == file.size()) {
    return CheckSignedCabinetStructure(file, ByteView(header, sizeof header), layout->signatureOffset);
  }
  return SubjectStatus::kOk;
}

SubjectStatus ReadCabinetSignature(const ByteSource& file, const CabinetLayout& layout, Bytes* blob) {
  blob->clear();
  if (!layout.hasLocator || layout.signatureOffset == 0 || layout.signatureSize == 0) {
    return SubjectStatus::kNoSignature;
  }
  // Nothing may follow the signature, and it may not reach into the header
  // whose fields the digest treats specially.
  const uint64_t end = uint64_t{layout.signatureOffset} + layout.signatureSize;
  if (end != file.size() || layout.signatureOffset < layout.reserveEnd) return SubjectStatus::kNoSignature;
  if (layout.signatureSize > kMaxSignatureSize) return SubjectStatus::kTooLarge;
  blob->resize(layout.signatureSize);
  if (!file.Read(layout.signatureOffset, *blob)) return SubjectStatus::kReadFault;
  return SubjectStatus::kOk;
}

SubjectStatus ComputeCabinetDigest(const ByteSource& file, const CabinetLayout& layout, const EVP_MD* md,
                                   Bytes* digest) {
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  std::vector<uint8_t> buffer(kSubjectBufferSize);
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {0, kReserved1Start},
      {kReserved1End, kSkippedStart},
      {kSkippedEnd, layout.signatureOffset},
  };
  for (const auto& [begin, end] : ranges) {
    SubjectStatus status = HashFileRange(context.get(), file, begin, end, buffer);
    if (status != SubjectStatus::kOk) return status;
  }
  return FinishDigest(context.get(), digest);
}

SubjectStatus OpenCabinetSubject(const ByteSource& file, std::unique_ptr<Subject>* subject) {
  CabinetLayout layout;
  SubjectStatus status = ReadCabinetLayout(file, &layout);
  if (status == SubjectStatus::kOk) *subject = std::make_unique<CabinetSubject>(file, layout);
  return status;
}

}  // namespace wintrust
