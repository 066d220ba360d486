#include "wintrust/pe/pe_subject.h"

#include <vector>

#include "wintrust/pe/image_digest.h"
#include "wintrust/pe/pe_image.h"

namespace wintrust {
namespace {

SubjectStatus FromPeStatus(PeStatus status) {
  switch (status) {
    case PeStatus::kOk:
      return SubjectStatus::kOk;
    case PeStatus::kNotPe:
      return SubjectStatus::kNotThisFormat;
    case PeStatus::kNoSignature:
      return SubjectStatus::kNoSignature;
    case PeStatus::kTooLarge:
      return SubjectStatus::kTooLarge;
    case PeStatus::kReadFault:
      break;
  }
  return SubjectStatus::kReadFault;
}

class PeSubject final : public Subject {
 public:
  PeSubject(const ByteSource& file, const PeImage& image) : file_(file), image_(image) {}

  SubjectStatus ReadSignature(Bytes* blob) const override {
    SignatureBlob signature;
    SubjectStatus status = FromPeStatus(FindPkcs7Signature(file_, image_, &signature));
    *blob = std::move(signature.bytes);
    return status;
  }

  SubjectStatus ComputeDigest(const EVP_MD* md, Bytes* digest) const override {
    file_.AdviseSequential(0, image_.certTableOffset);
    std::vector<uint8_t> buffer(kImageDigestBufferSize);
    switch (ComputeImageDigest(file_, image_, md, buffer, digest)) {
      case ImageDigestError::kNone:
        return SubjectStatus::kOk;
      case ImageDigestError::kReadFault:
        return SubjectStatus::kReadFault;
      default:
        return SubjectStatus::kLibraryFailed;
    }
  }

 private:
  const ByteSource& file_;
  PeImage image_;
};

}  // namespace

SubjectStatus OpenPeSubject(const ByteSource& file, std::unique_ptr<Subject>* subject) {
  PeImage image;
  SubjectStatus status = FromPeStatus(ParsePeHeaders(file, &image));
  if (status == SubjectStatus::kOk) *subject = std::make_unique<PeSubject>(file, image);
  return status;
}

}  // namespace wintrust
