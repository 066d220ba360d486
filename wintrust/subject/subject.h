// The subject seam: what differs between the kinds of signed file. Each
// format answers two questions, where its signature is and what digest its
// content has, and the verifier does everything after that (SignedData,
// SpcIndirectDataContent, the digest comparison, the signer, the chain, the
// policy, the provider data) once, whatever the format.
//
// Choosing the format follows Windows: by content for PE images ("MZ"),
// cabinets ("MSCF"), compound files (D0 CF 11 E0 A1 B1 1A E1), ZIP files
// ("PK\3\4": whether one is a package is for its opener to say) and DER
// SignedData (catalogs, recognised by their own room); by the file name's
// extension for PowerShell scripts (.ps1, .psm1, .psd1, any case), and
// content wins over the name (DetectSubjectFormat in
// verifier/subject_registry.h). A format without a subject registered is
// TRUST_E_SUBJECT_FORM_UNKNOWN like any unknown file.
//
// Adding a subject:
//   1. Give the format an enumerator in SubjectFormat and teach
//      FormatByMagicOrExtension (subject.cc) to recognise it by a magic or
//      an extension, or its own room by its structure, as catalog/ does.
//   2. Implement Subject in a file of its own (e.g. msi_subject.{h,cc}): a
//      class whose constructor takes nothing that can fail, and an opener
//      `SubjectStatus OpenXxxSubject(const ByteSource&, std::unique_ptr<Subject>*)`
//      that reads the format's headers and makes the subject. The opener
//      returns kNotThisFormat for a file whose headers are damaged or cut
//      (the same class as a damaged PE), kReadFault when a read fails.
//   3. Declare the opener in its header and add one row to kSubjectOpeners in
//      wintrust/verifier/subject_registry.cc; give the format's folder its
//      room in wintrust/sources.cmake (its sources, the rooms it uses, the
//      system libraries it links) and the verifier's USES.
// subject_digest.h has the hashing every subject needs (start, hash a file
// range through a buffer, hash bytes, finish). Subjects read the file only
// through the ByteSource they were opened with, which outlives them, with
// bounds-checked reads (file_source.h); they never map it or hold it whole.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string_view>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/file_source.h"

namespace wintrust {

// What a subject reports; the verifier turns each into its status.
enum class SubjectStatus {
  kOk,
  kNotThisFormat,  // TRUST_E_SUBJECT_FORM_UNKNOWN: not the format, or its
                   // headers are damaged or cut short
  kNoSignature,    // TRUST_E_NOSIGNATURE: no usable signature blob
  kTooLarge,       // CRYPT_E_ASN1_LARGE: the blob exceeds kMaxSignatureSize
  kBadDigest,      // TRUST_E_BAD_DIGEST: the content contradicts itself where
                   // the format's rule says it must not (for formats that
                   // check more than the one digest)
  kReadFault,      // ERROR_READ_FAULT: a read inside the size failed or came
                   // up short (the file changed underneath)
  kLibraryFailed,  // E_OUTOFMEMORY: a library the subject calls (OpenSSL
                   // while hashing, zlib while inflating) failed
};

// The largest signature blob any subject reads into memory: far above any
// real signature (a few kilobytes to a few hundred), far below what would
// strain the caller's memory.
constexpr uint64_t kMaxSignatureSize = uint64_t{64} << 20;

class Subject {
 public:
  virtual ~Subject() = default;

  // A copy of the DER ContentInfo holding the PKCS#7 SignedData, as the
  // format stores it (trailing padding allowed: the DER reader stops at the
  // end of the first element). kNoSignature, kTooLarge or kReadFault.
  virtual SubjectStatus ReadSignature(Bytes* blob) const = 0;

  // The digest with `md` of the content the format's rule covers, the value
  // the signature names (see DigestNamedBy). Called only after ReadSignature
  // succeeded, possibly more than once, and only for kIndirectData: a
  // subject whose content is the signed content has no digest of its own to
  // compute (the verifier hashes the signed content it decoded), so it keeps
  // this answer, which no verification reaches.
  virtual SubjectStatus ComputeDigest(const EVP_MD* /*md*/, Bytes* /*digest*/) const {
    return SubjectStatus::kNoSignature;
  }

  // Where the signature names the digest ComputeDigest must equal.
  enum class DigestHolder {
    // SpcIndirectDataContent's messageDigest, with its own algorithm: the
    // signature is beside the content it vouches for (every format but
    // catalogs).
    kIndirectData,
    // The signer's messageDigest attribute, with the signer's algorithm: the
    // signature's content is the subject's own content (a catalog's
    // certificate trust list), so there is no SpcIndirectDataContent and
    // the verifier hashes the SignedData's signed content itself.
    kSignerAttribute,
  };
  virtual DigestHolder DigestNamedBy() const { return DigestHolder::kIndirectData; }

  // Whether the subject is a bundle of packages, which Windows verifies as
  // a subject type of its own; no other format has one.
  virtual bool IsPackageBundle() const { return false; }
};

// Reads a format's headers from `file` and makes its subject.
using SubjectOpener = SubjectStatus (*)(const ByteSource& file, std::unique_ptr<Subject>* subject);

enum class SubjectFormat {
  kUnknown,
  kPeImage,
  kCabinet,
  kCompoundFile,  // the container of MSI packages
  kPowerShellScript,
  kZip,            // MSIX/APPX packages and bundles; their opener reads the central
                   // directory to tell them from other ZIP files
  kDerSignedData,  // a DER ContentInfo of SignedData: catalogs
};

// The number of leading bytes format detection looks at.
constexpr size_t kSubjectMagicSize = 8;

// The format of a file whose first bytes are `head` (at most
// kSubjectMagicSize; fewer when the file is shorter) and whose name, or path,
// is `fileName` (bytes, may be empty), as far as a magic or the extension
// tells it: every format but catalogs, whose room recognises them.
SubjectFormat FormatByMagicOrExtension(ByteView head, std::string_view fileName);

}  // namespace wintrust
