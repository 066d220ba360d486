#include "wintrust/msi/msi_subject.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

// "\x05DigitalSignature" and "\x05MsiDigitalSignatureEx" in UTF-16LE.
constexpr char16_t kSignatureName[] =
    u"\x05"
    u"DigitalSignature";
constexpr char16_t kMetadataDigestName[] =
    u"\x05"
    u"MsiDigitalSignatureEx";

bool HasName(const CompoundEntry& entry, std::u16string_view name) {
  const ByteView bytes = entry.name();
  if (bytes.size() != 2 * name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (*ReadLe16(bytes, 2 * i) != name[i]) return false;
  }
  return true;
}

// The root's stream called `name`, if there is one.
std::optional<size_t> FindRootStream(const CompoundFile& file, std::u16string_view name) {
  for (uint32_t index : file.entries()[0].children) {
    const CompoundEntry& entry = file.entries()[index];
    if (entry.type == CompoundEntryType::kStream && HasName(entry, name)) return index;
  }
  return std::nullopt;
}

bool IsSignatureStream(const CompoundEntry& entry) {
  return entry.type == CompoundEntryType::kStream &&
         (HasName(entry, kSignatureName) || HasName(entry, kMetadataDigestName));
}

// The members of a storage in hashing order, the root's signature streams
// left out.
std::vector<uint32_t> MembersInOrder(const CompoundFile& file, uint32_t storage) {
  const std::vector<CompoundEntry>& entries = file.entries();
  std::vector<uint32_t> members;
  for (uint32_t index : entries[storage].children) {
    if (storage == 0 && IsSignatureStream(entries[index])) continue;
    members.push_back(index);
  }
  std::stable_sort(members.begin(), members.end(),
                   [&entries](uint32_t a, uint32_t b) { return MsiNameOrder(entries[a], entries[b]); });
  return members;
}

// Visits the tree from the root in hashing order without recursion: `enter`
// for each storage before its members, `stream` for each stream, `leave`
// for each storage after its members. The first status other than kOk
// stops the walk. The reader bounds the nesting, so the stack stays small.
template <typename Enter, typename Stream, typename Leave>
SubjectStatus WalkInHashOrder(const CompoundFile& file, Enter enter, Stream stream, Leave leave) {
  struct Frame {
    uint32_t storage;
    std::vector<uint32_t> members;
    size_t next = 0;
  };
  std::vector<Frame> stack;
  SubjectStatus status = enter(file.entries()[0]);
  if (status != SubjectStatus::kOk) return status;
  stack.push_back({0, MembersInOrder(file, 0)});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.members.size()) {
      status = leave(file.entries()[frame.storage]);
      stack.pop_back();
    } else {
      const uint32_t index = frame.members[frame.next++];
      const CompoundEntry& entry = file.entries()[index];
      if (entry.type == CompoundEntryType::kStream) {
        status = stream(index, entry);
      } else {
        status = enter(entry);
        stack.push_back({index, MembersInOrder(file, index)});
      }
    }
    if (status != SubjectStatus::kOk) return status;
  }
  return SubjectStatus::kOk;
}

// One entry's metadata as the extended signature hashes it: the name
// (without its NUL; not for the root), the CLSID of a storage or the low 32
// bits of a stream's size, the state bits, and the two times (not for the
// root).
SubjectStatus HashMetadata(EVP_MD_CTX* context, const CompoundEntry& entry) {
  const bool root = entry.type == CompoundEntryType::kRoot;
  Bytes bytes;
  auto append = [&bytes](ByteView part) { bytes.insert(bytes.end(), part.begin(), part.end()); };
  if (!root) append(entry.name());
  if (entry.type == CompoundEntryType::kStream) {
    const uint8_t size[4] = {static_cast<uint8_t>(entry.size), static_cast<uint8_t>(entry.size >> 8),
                             static_cast<uint8_t>(entry.size >> 16), static_cast<uint8_t>(entry.size >> 24)};
    append(size);
  } else {
    append(entry.clsid);
  }
  append(entry.stateBits);
  if (!root) {
    append(entry.creationTime);
    append(entry.modifiedTime);
  }
  return HashBytes(context, bytes);
}

SubjectStatus FromCompoundStatus(CompoundFileStatus status, SubjectStatus damaged) {
  switch (status) {
    case CompoundFileStatus::kOk:
      return SubjectStatus::kOk;
    case CompoundFileStatus::kReadFault:
      return SubjectStatus::kReadFault;
    default:
      return damaged;
  }
}

class MsiSubject final : public Subject {
 public:
  explicit MsiSubject(std::unique_ptr<CompoundFile> file) : file_(std::move(file)) {}

  SubjectStatus ReadSignature(Bytes* blob) const override {
    blob->clear();
    const std::optional<size_t> index = FindRootStream(*file_, kSignatureName);
    if (!index || file_->entries()[*index].size == 0) return SubjectStatus::kNoSignature;
    if (file_->entries()[*index].size > kMaxSignatureSize) return SubjectStatus::kTooLarge;
    // A signature stream whose own chain is damaged is no usable signature,
    // as a cut certificate table is none in a PE image.
    return FromCompoundStatus(file_->ReadSmallStream(*index, kMaxSignatureSize, blob), SubjectStatus::kNoSignature);
  }

  SubjectStatus ComputeDigest(const EVP_MD* md, Bytes* digest) const override {
    digest->clear();
    Bytes metadataDigest;
    const std::optional<size_t> extended = FindRootStream(*file_, kMetadataDigestName);
    if (extended) {
      // The stream must hold exactly the metadata digest with the
      // signature's algorithm; anything else contradicts the signature.
      const auto mdSize = static_cast<uint64_t>(EVP_MD_get_size(md));
      Bytes stored;
      SubjectStatus status =
          FromCompoundStatus(file_->ReadSmallStream(*extended, mdSize, &stored), SubjectStatus::kBadDigest);
      if (status != SubjectStatus::kOk) return status;
      status = ComputeMsiMetadataDigest(*file_, md, &metadataDigest);
      if (status != SubjectStatus::kOk) return status;
      if (!SameBytes(stored, metadataDigest)) return SubjectStatus::kBadDigest;
    }
    return ComputeMsiContentDigest(*file_, md, metadataDigest, digest);
  }

 private:
  std::unique_ptr<CompoundFile> file_;
};

}  // namespace

bool MsiNameOrder(const CompoundEntry& a, const CompoundEntry& b) {
  const size_t common = std::min(a.nameSize, b.nameSize);
  const int order = std::memcmp(a.nameBytes.data(), b.nameBytes.data(), common);
  if (order != 0) return order < 0;
  return a.nameSize > b.nameSize;
}

SubjectStatus ComputeMsiMetadataDigest(const CompoundFile& file, const EVP_MD* md, Bytes* digest) {
  digest->clear();
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  auto hashEntry = [&context](const CompoundEntry& entry) { return HashMetadata(context.get(), entry); };
  SubjectStatus status = WalkInHashOrder(
      file, hashEntry, [&hashEntry](uint32_t, const CompoundEntry& entry) { return hashEntry(entry); },
      [](const CompoundEntry&) { return SubjectStatus::kOk; });
  if (status != SubjectStatus::kOk) return status;
  return FinishDigest(context.get(), digest);
}

SubjectStatus ComputeMsiContentDigest(const CompoundFile& file, const EVP_MD* md, ByteView prefix, Bytes* digest) {
  digest->clear();
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  SubjectStatus status = HashBytes(context.get(), prefix);
  if (status != SubjectStatus::kOk) return status;
  std::vector<uint8_t> buffer(kSubjectBufferSize);
  bool hashed = true;
  auto hashStream = [&](uint32_t index, const CompoundEntry&) {
    const CompoundFileStatus read = file.ReadStream(index, buffer, [&](ByteView piece) {
      hashed = hashed && HashBytes(context.get(), piece) == SubjectStatus::kOk;
    });
    if (!hashed) return SubjectStatus::kLibraryFailed;
    return FromCompoundStatus(read, SubjectStatus::kBadDigest);
  };
  status = WalkInHashOrder(
      file, [](const CompoundEntry&) { return SubjectStatus::kOk; }, hashStream,
      [&context](const CompoundEntry& storage) { return HashBytes(context.get(), storage.clsid); });
  if (status != SubjectStatus::kOk) return status;
  return FinishDigest(context.get(), digest);
}

SubjectStatus OpenMsiSubject(const ByteSource& file, std::unique_ptr<Subject>* subject) {
  subject->reset();
  std::unique_ptr<CompoundFile> compound;
  const CompoundFileStatus status = CompoundFile::Open(file, &compound);
  if (status != CompoundFileStatus::kOk) return FromCompoundStatus(status, SubjectStatus::kNotThisFormat);
  *subject = std::make_unique<MsiSubject>(std::move(compound));
  return SubjectStatus::kOk;
}

}  // namespace wintrust
