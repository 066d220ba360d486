// The ZIP reader (wintrust/appx/zip_archive.h) and the APPX subject on top
// of it (appx_subject.h). Rules:
//   - the reader answers kOk or kNotThisFormat from bytes in memory; what it
//     accepts has at most kMaxZipEntries entries, each a record inside the
//     directory, one after another, with names never listed twice, and a
//     directory inside the file;
//   - a package the subject opens has its local records one after another
//     from the file's start to the central directory, each at least a
//     local header and its data;
//   - the subject opens, finds a signature and computes a digest with only
//     the documented answers; a signature found is at most kMaxSignatureSize;
//   - a digest computed is "APPX" and four or five tagged SHA-256 hashes,
//     the first "AXPC" over the file up to the signature's local header,
//     whose record is the directory's last;
//   - a source cut short after opening gives a read fault or the intact
//     answer, everywhere.
#include <openssl/evp.h>

#include <cstring>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/reference_sha256.h"
#include "fuzz/truncated_source.h"
#include "wintrust/appx/appx_subject.h"
#include "wintrust/appx/zip_archive.h"

namespace {

using wintrust::Bytes;
using wintrust::ByteView;
using wintrust::SubjectStatus;

void CheckArchive(ByteView file, const wintrust::ZipArchive& archive) {
  FUZZ_CHECK(archive.entries.size() <= wintrust::kMaxZipEntries);
  FUZZ_CHECK(wintrust::RangeInside(file.size(), archive.directoryOffset, archive.directory.size()));
  size_t next = 0;
  std::set<std::string> names;
  for (const wintrust::ZipEntry& entry : archive.entries) {
    FUZZ_CHECK(entry.recordOffset == next && entry.recordSize >= 46 + entry.name.size());
    next += entry.recordSize;
    FUZZ_CHECK(names.insert(entry.name).second);
  }
  FUZZ_CHECK(next == archive.directory.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView file(data, size);
  const uint64_t mix = fuzzing::InputHash(file);
  wintrust::MemorySource source(file);
  fuzzing::TruncatedSource truncated(file, mix % (size + 1));

  wintrust::ZipArchive archive;
  const SubjectStatus status = wintrust::ReadZipArchive(source, &archive);
  FUZZ_CHECK(status == SubjectStatus::kOk || status == SubjectStatus::kNotThisFormat);
  wintrust::ZipArchive cutArchive;
  const SubjectStatus cutStatus = wintrust::ReadZipArchive(truncated, &cutArchive);
  FUZZ_CHECK(cutStatus == SubjectStatus::kReadFault ||
             (cutStatus == status && cutArchive.entries.size() == archive.entries.size()));
  if (status != SubjectStatus::kOk) return 0;
  CheckArchive(file, archive);

  std::unique_ptr<wintrust::Subject> subject;
  if (wintrust::OpenAppxSubject(source, &subject) != SubjectStatus::kOk) return 0;
  wintrust::ZipArchive records = archive;
  FUZZ_CHECK(wintrust::ReadZipRecords(source, &records) == SubjectStatus::kOk);
  uint64_t reached = 0;
  for (const wintrust::ZipEntry& entry : records.entries) {
    FUZZ_CHECK(entry.localHeaderOffset == reached && entry.localHeaderSize >= 30 + entry.name.size() &&
               entry.recordEnd >= entry.dataOffset() + entry.compressedSize);
    reached = entry.recordEnd;
  }
  FUZZ_CHECK(reached == records.directoryOffset);
  std::unique_ptr<wintrust::Subject> cutSubject;
  const SubjectStatus cutOpened = wintrust::OpenAppxSubject(truncated, &cutSubject);
  FUZZ_CHECK(cutOpened == SubjectStatus::kOk || cutOpened == SubjectStatus::kReadFault);

  Bytes blob;
  const SubjectStatus found = subject->ReadSignature(&blob);
  FUZZ_CHECK(found == SubjectStatus::kOk || found == SubjectStatus::kNoSignature || found == SubjectStatus::kTooLarge);
  FUZZ_CHECK(blob.size() <= wintrust::kMaxSignatureSize);
  if (cutSubject) {
    Bytes cutBlob;
    const SubjectStatus cutFound = cutSubject->ReadSignature(&cutBlob);
    FUZZ_CHECK(cutFound == SubjectStatus::kReadFault || (cutFound == found && cutBlob == blob));
  }
  if (found != SubjectStatus::kOk) return 0;

  Bytes digest;
  const SubjectStatus hashed = subject->ComputeDigest(EVP_sha256(), &digest);
  FUZZ_CHECK(hashed == SubjectStatus::kOk || hashed == SubjectStatus::kBadDigest ||
             hashed == SubjectStatus::kNotThisFormat);
  if (cutSubject) {
    Bytes cutDigest;
    const SubjectStatus cutHashed = cutSubject->ComputeDigest(EVP_sha256(), &cutDigest);
    FUZZ_CHECK(cutHashed == SubjectStatus::kReadFault || (cutHashed == hashed && cutDigest == digest));
  }
  if (hashed != SubjectStatus::kOk) return 0;
  FUZZ_CHECK(digest.size() == 4 + 4 * 36 || digest.size() == 4 + 5 * 36);
  FUZZ_CHECK(std::memcmp(digest.data(), "APPXAXPC", 8) == 0);
  const wintrust::ZipEntry* signature = wintrust::FindZipEntry(archive, "AppxSignature.p7x");
  FUZZ_CHECK(signature != nullptr && signature->localHeaderOffset <= size && signature == &archive.entries.back());
  FUZZ_CHECK(Bytes(digest.begin() + 8, digest.begin() + 40) ==
             ReferenceSha256(data, static_cast<size_t>(signature->localHeaderOffset)));
  return 0;
}
