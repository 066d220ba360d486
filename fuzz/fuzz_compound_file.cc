// The compound-file reader (wintrust/compound_file.h) and the MSI digest
// over what it read. Rules:
//   - from bytes in memory Open answers kOk, kNotCompoundFile or kDamaged;
//   - the entries form a tree under the root: every entry but the root is
//     the member of exactly one storage, and only storages have members;
//   - every stream reads to exactly its size or is damaged, the same through
//     a buffer of any size, and no two streams share a byte of the file:
//     together they never read more than the file holds;
//   - the MSI content digest is computed or reports damaged content;
//   - a file that comes up short after it was opened (a read past a cut
//     point fails) gives kReadFault or exactly the intact file's answer.
#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/truncated_source.h"
#include "wintrust/msi/compound_file.h"
#include "wintrust/msi/msi_subject.h"

namespace {

using wintrust::Bytes;
using wintrust::ByteView;
using wintrust::CompoundEntryType;
using wintrust::CompoundFile;
using wintrust::CompoundFileStatus;
using wintrust::SubjectStatus;

CompoundFileStatus ReadWhole(const CompoundFile& file, size_t index, size_t bufferSize, Bytes* out) {
  out->clear();
  std::vector<uint8_t> buffer(bufferSize);
  return file.ReadStream(index, buffer, [out](ByteView piece) { out->insert(out->end(), piece.begin(), piece.end()); });
}

void CheckTree(const CompoundFile& file) {
  const auto& entries = file.entries();
  FUZZ_CHECK(!entries.empty() && entries[0].type == CompoundEntryType::kRoot);
  FUZZ_CHECK(entries.size() <= wintrust::kMaxCompoundEntries);
  std::vector<int> parents(entries.size(), 0);
  for (const auto& entry : entries) {
    if (entry.type == CompoundEntryType::kStream) FUZZ_CHECK(entry.children.empty());
    for (uint32_t child : entry.children) {
      FUZZ_CHECK(child > 0 && child < entries.size());
      ++parents[child];
    }
  }
  for (size_t i = 1; i < entries.size(); ++i) {
    FUZZ_CHECK(parents[i] == 1);
    FUZZ_CHECK(entries[i].type != CompoundEntryType::kRoot);
    FUZZ_CHECK(entries[i].nameSize >= 4 && entries[i].nameSize <= 64 && entries[i].nameSize % 2 == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView bytes(data, size);
  const uint64_t mix = fuzzing::InputHash(bytes);
  wintrust::MemorySource source(bytes);
  std::unique_ptr<CompoundFile> file;
  const CompoundFileStatus status = CompoundFile::Open(source, &file);
  FUZZ_CHECK(status == CompoundFileStatus::kOk || status == CompoundFileStatus::kNotCompoundFile ||
             status == CompoundFileStatus::kDamaged);
  FUZZ_CHECK((status == CompoundFileStatus::kOk) == (file != nullptr));

  const uint64_t kept = mix % (size + 1);
  fuzzing::TruncatedSource truncated(bytes, kept);
  std::unique_ptr<CompoundFile> cutFile;
  const CompoundFileStatus cutStatus = CompoundFile::Open(truncated, &cutFile);
  FUZZ_CHECK(cutStatus == CompoundFileStatus::kReadFault || cutStatus == status);
  if (status != CompoundFileStatus::kOk) return 0;
  CheckTree(*file);
  if (cutFile) FUZZ_CHECK(cutFile->entries().size() == file->entries().size());

  uint64_t total = 0;
  const size_t smallBuffer = 1 + (mix >> 8) % 97;
  for (size_t i = 0; i < file->entries().size(); ++i) {
    if (file->entries()[i].type != CompoundEntryType::kStream) continue;
    Bytes whole;
    const CompoundFileStatus read = ReadWhole(*file, i, size_t{1} << 16, &whole);
    FUZZ_CHECK(read == CompoundFileStatus::kOk || read == CompoundFileStatus::kDamaged);
    Bytes pieces;
    FUZZ_CHECK(ReadWhole(*file, i, smallBuffer, &pieces) == read);
    if (read != CompoundFileStatus::kOk) continue;
    FUZZ_CHECK(whole.size() == file->entries()[i].size && pieces == whole);
    total += whole.size();
    FUZZ_CHECK(total <= size);
    if (cutFile) {
      Bytes cut;
      const CompoundFileStatus cutRead = ReadWhole(*cutFile, i, smallBuffer, &cut);
      FUZZ_CHECK(cutRead == CompoundFileStatus::kReadFault || (cutRead == read && cut == whole));
    }
  }

  Bytes digest;
  const SubjectStatus hashed = wintrust::ComputeMsiContentDigest(*file, EVP_sha256(), {}, &digest);
  FUZZ_CHECK(hashed == SubjectStatus::kOk || hashed == SubjectStatus::kBadDigest);
  FUZZ_CHECK(wintrust::ComputeMsiMetadataDigest(*file, EVP_sha256(), &digest) == SubjectStatus::kOk);
  return 0;
}
