#include "wintrust/catalog/catalog_subject.h"

#include <algorithm>
#include <array>

#include "wintrust/base/der_reader.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

// How much of the file the opener reads: the ContentInfo's headers, the
// SignedData's version and digest algorithms (a few dozen bytes each, even
// with every algorithm there is) and the content type.
constexpr size_t kHeadSize = 512;

// Steps over a header with `tag` and returns what follows it.
bool EnterHeader(ByteView* rest, uint8_t tag) {
  DerHeader header;
  if (ReadDerHeader(*rest, &header) != DerError::kNone || header.tag != tag) return false;
  *rest = rest->subspan(header.size);
  return true;
}

// Reads a whole element with `tag`, which must lie inside `rest`, and
// returns what follows it.
bool TakeElement(ByteView* rest, uint8_t tag, Tlv* element) {
  if (ReadTlv(*rest, element) != DerError::kNone || element->tag != tag) return false;
  *rest = rest->subspan(element->whole.size());
  return true;
}

// ContentInfo { signedData, [0] SignedData { version, digestAlgorithms,
// encapContentInfo { trust list type, ... } ... } }, headers only, in a file
// of `fileSize` bytes. A ContentInfo whose stated length runs past the end
// of the file is not taken for a catalog, as a cabinet or package cut
// inside its headers is not taken for one; an indefinite length is the
// SignedData reader's to follow.
bool OpensTrustList(ByteView head, uint64_t fileSize) {
  DerHeader outer;
  if (ReadDerHeader(head, &outer) != DerError::kNone || (!outer.indefinite && outer.size + outer.length > fileSize)) {
    return false;
  }
  Tlv type, version, algorithms;
  ByteView rest = head;
  // The signedData OID in its one DER form, as format detection sees it.
  return EnterHeader(&rest, der::kSequence) && TakeElement(&rest, der::kOid, &type) &&
         type.whole.size() == 2 + oid::kSignedData.size() && SameBytes(type.content, oid::kSignedData) &&
         EnterHeader(&rest, der::kContext0) && EnterHeader(&rest, der::kSequence) &&
         TakeElement(&rest, der::kInteger, &version) && TakeElement(&rest, der::kSet, &algorithms) &&
         EnterHeader(&rest, der::kSequence) && TakeElement(&rest, der::kOid, &type) &&
         SameBytes(type.content, oid::kTrustList);
}

class CatalogSubject final : public Subject {
 public:
  explicit CatalogSubject(const ByteSource& file) : file_(file) {}

  SubjectStatus ReadSignature(Bytes* blob) const override {
    if (file_.size() > kMaxSignatureSize) return SubjectStatus::kTooLarge;
    blob->resize(static_cast<size_t>(file_.size()));
    return file_.Read(0, std::span<uint8_t>(*blob)) ? SubjectStatus::kOk : SubjectStatus::kReadFault;
  }

  // The list's bytes as the signer's messageDigest covers them, read again
  // from the file: a file that no longer parses as it did has changed
  // underneath.
  SubjectStatus ComputeDigest(const EVP_MD* md, Bytes* digest) const override {
    Bytes blob;
    SubjectStatus status = ReadSignature(&blob);
    if (status != SubjectStatus::kOk) return status;
    SignedData signedData;
    if (ParseSignedData(blob, &signedData) != DerError::kNone) return SubjectStatus::kReadFault;
    EvpMdCtxPtr context = StartDigest(md);
    if (!context) return SubjectStatus::kOpenSsl;
    status = HashBytes(context.get(), signedData.signedContent);
    if (status != SubjectStatus::kOk) return status;
    return FinishDigest(context.get(), digest);
  }

  DigestHolder DigestNamedBy() const override { return DigestHolder::kSignerAttribute; }

 private:
  const ByteSource& file_;
};

}  // namespace

SubjectStatus OpenCatalogSubject(const ByteSource& file, std::unique_ptr<Subject>* subject) {
  std::array<uint8_t, kHeadSize> head{};
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(head.size(), file.size()));
  if (!file.Read(0, std::span<uint8_t>(head.data(), headSize))) return SubjectStatus::kReadFault;
  if (!OpensTrustList(ByteView(head.data(), headSize), file.size())) return SubjectStatus::kNotThisFormat;
  *subject = std::make_unique<CatalogSubject>(file);
  return SubjectStatus::kOk;
}

}  // namespace wintrust
