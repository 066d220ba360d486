// The PE header and certificate-table reader (wintrust/pe_image.h) and the
// image digest streamed over what it found. Rules:
//   - the reader answers kOk or kNotPe from bytes in memory, and every offset
//     it reports lies inside the file, in the order the format gives them;
//   - the headers alone decide: the same file cut just after its section
//     table reads to the same image;
//   - a PKCS#7 entry it finds is a copy of the file's bytes behind a
//     revision 2.0, PKCS_SIGNED_DATA header whose length covers it, in a
//     table that starts after the headers and ends at the end of the file;
//   - the image digest streamed through a buffer of any size equals one
//     SHA-256 over the included ranges;
//   - a file that comes up short after it was opened (a read past a cut
//     point fails) gives kReadFault or exactly the intact file's answer.
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/reference_sha256.h"
#include "fuzz/truncated_source.h"
#include "wintrust/pe/image_digest.h"
#include "wintrust/pe/pe_image.h"

namespace {

using wintrust::Bytes;
using wintrust::ByteView;
using wintrust::PeImage;
using wintrust::PeStatus;

bool SameImage(const PeImage& a, const PeImage& b) {
  return a.pe32Plus == b.pe32Plus && a.checksumOffset == b.checksumOffset &&
         a.securityEntryOffset == b.securityEntryOffset && a.headersEnd == b.headersEnd &&
         a.numberOfRvaAndSizes == b.numberOfRvaAndSizes && a.certTableOffset == b.certTableOffset &&
         a.certTableSize == b.certTableSize;
}

void CheckImage(ByteView file, const PeImage& image) {
  FUZZ_CHECK(image.checksumOffset + 4 <= image.headersEnd);
  FUZZ_CHECK(image.headersEnd <= file.size());
  if (image.securityEntryOffset == 0) {
    FUZZ_CHECK(image.certTableOffset == 0 && image.certTableSize == 0);
    return;
  }
  FUZZ_CHECK(image.numberOfRvaAndSizes > 4);
  FUZZ_CHECK(image.checksumOffset + 4 <= image.securityEntryOffset);
  FUZZ_CHECK(image.securityEntryOffset + 8 <= image.headersEnd);
  FUZZ_CHECK(wintrust::ReadLe32(file, image.securityEntryOffset) == image.certTableOffset);
  FUZZ_CHECK(wintrust::ReadLe32(file, image.securityEntryOffset + 4) == image.certTableSize);
}

void CheckSignature(ByteView file, const PeImage& image, const wintrust::SignatureBlob& blob) {
  FUZZ_CHECK(image.certTableOffset >= image.headersEnd);
  FUZZ_CHECK(uint64_t{image.certTableOffset} + image.certTableSize == file.size());
  FUZZ_CHECK(blob.offset >= uint64_t{image.certTableOffset} + 8);
  FUZZ_CHECK(blob.offset % 8 == image.certTableOffset % 8);
  FUZZ_CHECK(blob.offset + blob.bytes.size() <= file.size());
  FUZZ_CHECK(blob.bytes.empty() || std::memcmp(file.data() + blob.offset, blob.bytes.data(), blob.bytes.size()) == 0);
  const uint64_t header = blob.offset - 8;
  FUZZ_CHECK(wintrust::ReadLe32(file, header) == blob.bytes.size() + 8);
  FUZZ_CHECK(wintrust::ReadLe16(file, header + 4) == 0x0200);
  FUZZ_CHECK(wintrust::ReadLe16(file, header + 6) == 0x0002);
}

void CheckDigest(ByteView file, const PeImage& image, uint64_t mix) {
  // The reference: the included ranges copied out and hashed in one call.
  Bytes included;
  auto append = [&](uint64_t begin, uint64_t end) {
    included.insert(included.end(), file.begin() + static_cast<long>(begin), file.begin() + static_cast<long>(end));
  };
  append(0, image.checksumOffset);
  append(image.checksumOffset + 4, image.securityEntryOffset);
  append(image.securityEntryOffset + 8, image.certTableOffset);

  std::vector<uint8_t> buffer(1 + mix % 97);
  Bytes streamed;
  wintrust::MemorySource source(file);
  FUZZ_CHECK(wintrust::ComputeImageDigest(source, image, EVP_sha256(), buffer, &streamed) ==
             wintrust::ImageDigestError::kNone);
  FUZZ_CHECK(streamed == ReferenceSha256(included.data(), included.size()));

  // Cut short after opening: a read fault, or the same digest when the cut
  // lies past everything the digest reads.
  const uint64_t kept = (mix >> 8) % (file.size() + 1);
  fuzzing::TruncatedSource truncated(file, kept);
  Bytes cut;
  wintrust::ImageDigestError error = wintrust::ComputeImageDigest(truncated, image, EVP_sha256(), buffer, &cut);
  if (kept >= image.certTableOffset) {
    FUZZ_CHECK(error == wintrust::ImageDigestError::kNone && cut == streamed);
  } else {
    FUZZ_CHECK(error == wintrust::ImageDigestError::kReadFault);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView file(data, size);
  const uint64_t mix = fuzzing::InputHash(file);
  wintrust::MemorySource source(file);

  PeImage image;
  const PeStatus status = wintrust::ParsePeHeaders(source, &image);
  FUZZ_CHECK(status == PeStatus::kOk || status == PeStatus::kNotPe);

  // The same file, cut after it was opened.
  const uint64_t kept = mix % (size + 1);
  fuzzing::TruncatedSource truncated(file, kept);
  PeImage cutImage;
  const PeStatus cutStatus = wintrust::ParsePeHeaders(truncated, &cutImage);
  FUZZ_CHECK(cutStatus == PeStatus::kReadFault || (cutStatus == status && SameImage(cutImage, image)));

  if (status != PeStatus::kOk) return 0;
  CheckImage(file, image);

  Bytes headers(data, data + image.headersEnd);
  PeImage again;
  FUZZ_CHECK(wintrust::ParsePeHeaders(headers, &again) == PeStatus::kOk);
  FUZZ_CHECK(SameImage(again, image));

  wintrust::SignatureBlob blob;
  const PeStatus found = wintrust::FindPkcs7Signature(source, image, &blob);
  FUZZ_CHECK(found == PeStatus::kOk || found == PeStatus::kNoSignature || found == PeStatus::kTooLarge);
  wintrust::SignatureBlob cutBlob;
  const PeStatus cutFound = wintrust::FindPkcs7Signature(truncated, image, &cutBlob);
  FUZZ_CHECK(cutFound == PeStatus::kReadFault ||
             (cutFound == found && cutBlob.offset == blob.offset && cutBlob.bytes == blob.bytes));
  if (found != PeStatus::kOk) return 0;
  CheckSignature(file, image, blob);
  CheckDigest(file, image, mix);
  return 0;
}
