// The cabinet reader (wintrust/cabinet.h) and the digest streamed over what
// it found. Rules:
//   - the reader answers kOk or kNotThisFormat from bytes in memory, and a
//     source cut short after opening gives kReadFault or the same answer;
//   - a signature it accepts lies at the locator's offset, after the header
//     reserve, ends at the end of the file and is a copy of the file's bytes;
//   - the digest equals one SHA-256 over the cabinet without bytes 4..7 and
//     34..55, up to the signature; cut short, it is a read fault or the same.
#include <openssl/evp.h>

#include <cstring>

#include "fuzz/fuzz_check.h"
#include "fuzz/reference_sha256.h"
#include "fuzz/truncated_source.h"
#include "wintrust/cab/cabinet.h"

namespace {

using wintrust::Bytes;
using wintrust::ByteView;
using wintrust::CabinetLayout;
using wintrust::SubjectStatus;

bool SameLayout(const CabinetLayout& a, const CabinetLayout& b) {
  return a.hasLocator == b.hasLocator && a.reserveEnd == b.reserveEnd && a.signatureOffset == b.signatureOffset &&
         a.signatureSize == b.signatureSize;
}

Bytes ReferenceDigest(ByteView file, uint64_t signatureOffset) {
  Bytes kept;
  for (uint64_t i = 0; i < signatureOffset; ++i) {
    if ((i >= 4 && i < 8) || (i >= 34 && i < 56)) continue;
    kept.push_back(file[i]);
  }
  return ReferenceSha256(kept.data(), kept.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView file(data, size);
  const uint64_t mix = fuzzing::InputHash(file);
  wintrust::MemorySource source(file);
  fuzzing::TruncatedSource truncated(file, mix % (size + 1));

  CabinetLayout layout;
  const SubjectStatus status = wintrust::ReadCabinetLayout(source, &layout);
  FUZZ_CHECK(status == SubjectStatus::kOk || status == SubjectStatus::kNotThisFormat);
  CabinetLayout cutLayout;
  const SubjectStatus cutStatus = wintrust::ReadCabinetLayout(truncated, &cutLayout);
  FUZZ_CHECK(cutStatus == SubjectStatus::kReadFault || (cutStatus == status && SameLayout(cutLayout, layout)));
  if (status != SubjectStatus::kOk) return 0;
  FUZZ_CHECK(layout.reserveEnd <= size);

  Bytes blob;
  const SubjectStatus found = wintrust::ReadCabinetSignature(source, layout, &blob);
  FUZZ_CHECK(found == SubjectStatus::kOk || found == SubjectStatus::kNoSignature || found == SubjectStatus::kTooLarge);
  Bytes cutBlob;
  const SubjectStatus cutFound = wintrust::ReadCabinetSignature(truncated, layout, &cutBlob);
  FUZZ_CHECK(cutFound == SubjectStatus::kReadFault || (cutFound == found && cutBlob == blob));
  if (found != SubjectStatus::kOk) return 0;
  FUZZ_CHECK(layout.hasLocator && layout.signatureOffset >= layout.reserveEnd);
  FUZZ_CHECK(uint64_t{layout.signatureOffset} + blob.size() == size);
  FUZZ_CHECK(std::memcmp(data + layout.signatureOffset, blob.data(), blob.size()) == 0);

  Bytes digest;
  FUZZ_CHECK(wintrust::ComputeCabinetDigest(source, layout, EVP_sha256(), &digest) == SubjectStatus::kOk);
  FUZZ_CHECK(digest == ReferenceDigest(file, layout.signatureOffset));
  Bytes cutDigest;
  const SubjectStatus cutHashed = wintrust::ComputeCabinetDigest(truncated, layout, EVP_sha256(), &cutDigest);
  FUZZ_CHECK(cutHashed == SubjectStatus::kReadFault || (cutHashed == SubjectStatus::kOk && cutDigest == digest));
  return 0;
}
