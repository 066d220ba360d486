// The catalog subject (wintrust/catalog/catalog_subject.h). Rules:
//   - the opener answers kOk or kNotThisFormat from bytes in memory, and
//     kOk only for a file whose head the catalog's detection takes; a source cut short
//     after opening gives kReadFault or the same answer;
//   - the signature it reads is the whole file;
//   - where that SignedData decodes, its content type is the trust list's
//     the opener saw (the verifier hashes its signed content);
//   - cut short, the signature read is a read fault or the same;
//   - the trust list's subjects, read one at a time, each lie inside the
//     list, in order and apart, and there are no more of them than the
//     list has room for (each takes at least four bytes).
#include <algorithm>

#include "fuzz/fuzz_check.h"
#include "fuzz/truncated_source.h"
#include "wintrust/base/trust_list.h"
#include "wintrust/catalog/catalog_subject.h"
#include "wintrust/signature/signed_data.h"

using wintrust::Bytes;
using wintrust::ByteView;
using wintrust::SubjectStatus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView file(data, size);
  const uint64_t mix = fuzzing::InputHash(file);
  wintrust::MemorySource source(file);
  fuzzing::TruncatedSource truncated(file, mix % (size + 1));

  std::unique_ptr<wintrust::Subject> subject;
  const SubjectStatus status = wintrust::OpenCatalogSubject(source, &subject);
  FUZZ_CHECK(status == SubjectStatus::kOk || status == SubjectStatus::kNotThisFormat);
  std::unique_ptr<wintrust::Subject> cutSubject;
  const SubjectStatus cutStatus = wintrust::OpenCatalogSubject(truncated, &cutSubject);
  FUZZ_CHECK(cutStatus == SubjectStatus::kReadFault || cutStatus == status);
  if (status != SubjectStatus::kOk) return 0;
  const ByteView head = file.first(std::min(size, wintrust::kSubjectMagicSize));
  FUZZ_CHECK(wintrust::OpensSignedData(head));
  FUZZ_CHECK(subject->DigestNamedBy() == wintrust::Subject::DigestHolder::kSignerAttribute);

  Bytes blob;
  FUZZ_CHECK(subject->ReadSignature(&blob) == SubjectStatus::kOk);
  FUZZ_CHECK(wintrust::SameBytes(blob, file));

  wintrust::SignedData signedData;
  if (wintrust::ParseSignedData(blob, &signedData) == wintrust::DerError::kNone) {
    FUZZ_CHECK(wintrust::SameBytes(signedData.contentType, wintrust::oid::kTrustList));
    const ByteView list = signedData.contentElement;
    const uint8_t* after = list.data();
    size_t subjects = 0;
    wintrust::ForEachTrustedSubject(list, [&](const wintrust::TrustedSubject& subject) {
      FUZZ_CHECK(subject.identifier.data() >= after &&
                 subject.identifier.data() + subject.identifier.size() <= list.data() + list.size());
      FUZZ_CHECK(subject.attributes.empty() ||
                 (subject.attributes.data() >= subject.identifier.data() &&
                  subject.attributes.data() + subject.attributes.size() <= list.data() + list.size()));
      after = subject.identifier.data() + subject.identifier.size();
      ++subjects;
      return true;
    });
    FUZZ_CHECK(subjects <= list.size() / 4);
  }
  if (cutStatus != SubjectStatus::kOk) return 0;
  Bytes cutBlob;
  const SubjectStatus cutRead = cutSubject->ReadSignature(&cutBlob);
  FUZZ_CHECK(cutRead == SubjectStatus::kReadFault || (cutRead == SubjectStatus::kOk && cutBlob == blob));
  return 0;
}
