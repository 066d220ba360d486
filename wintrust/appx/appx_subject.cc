#include "wintrust/appx/appx_subject.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "wintrust/appx/block_map.h"
#include "wintrust/appx/package_pass.h"
#include "wintrust/appx/zip_archive.h"
#include "wintrust/appx/zip_content.h"
#include "wintrust/subject/subject_digest.h"

namespace wintrust {
namespace {

constexpr std::string_view kSignatureName = "AppxSignature.p7x";
constexpr std::string_view kBlockMapName = "AppxBlockMap.xml";
constexpr std::string_view kContentTypesName = "[Content_Types].xml";
constexpr std::string_view kCodeIntegrityName = "AppxMetadata/CodeIntegrity.cat";
constexpr uint8_t kSignatureHeader[] = {'P', 'K', 'C', 'X'};

void Append(Bytes* out, std::string_view text) {
  out->insert(out->end(), text.begin(), text.end());
}

// The name the block map gives a ZIP entry: the entry names are
// percent-encoded with '/' between folders, the map's are not and use '\'.
std::string BlockMapName(std::string_view zipName) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string name;
  for (size_t i = 0; i < zipName.size(); ++i) {
    if (zipName[i] == '%' && i + 2 < zipName.size() && hex(zipName[i + 1]) >= 0 && hex(zipName[i + 2]) >= 0) {
      name.push_back(static_cast<char>(hex(zipName[i + 1]) * 16 + hex(zipName[i + 2])));
      i += 2;
    } else {
      name.push_back(zipName[i] == '/' ? '\\' : zipName[i]);
    }
  }
  return name;
}

// Hashes an entry's uncompressed bytes, passing each piece on to `also`.
SubjectStatus HashEntry(const ByteSource& file, const ZipArchive& archive, const ZipEntry& entry, const EVP_MD* md,
                        Bytes* digest, const ZipContentSink& also) {
  uint64_t headerSize = 0;
  uint64_t dataOffset = 0;
  SubjectStatus status = LocateZipData(file, archive, entry, &headerSize, &dataOffset);
  if (status != SubjectStatus::kOk) return status;
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  status = ReadZipContent(file, entry, dataOffset, [&](ByteView piece) {
    SubjectStatus hashed = HashBytes(context.get(), piece);
    return hashed == SubjectStatus::kOk ? also(piece) : hashed;
  });
  if (status != SubjectStatus::kOk) return status;
  return FinishDigest(context.get(), digest);
}

// The central directory without the signature's record and the end records
// rewritten to match, as they were before the signature was added.
SubjectStatus HashDirectory(const ZipArchive& archive, const ZipEntry& signature, uint64_t signatureOffset,
                            const EVP_MD* md, Bytes* digest) {
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  uint64_t entries = 0;
  uint64_t directorySize = 0;
  for (const ZipEntry& entry : archive.entries) {
    if (&entry == &signature) continue;
    SubjectStatus status =
        HashBytes(context.get(), ByteView(archive.directory).subspan(entry.recordOffset, entry.recordSize));
    if (status != SubjectStatus::kOk) return status;
    ++entries;
    directorySize += entry.recordSize;
  }
  Bytes end;
  if (archive.zip64) {
    AppendLe(&end, 0x06064B50, 4);
    AppendLe(&end, archive.zip64RecordSize, 8);
    AppendLe(&end, archive.zip64CreatorVersion, 2);
    AppendLe(&end, archive.zip64NeededVersion, 2);
    AppendLe(&end, 0, 8);  // this disk, the directory's disk
    AppendLe(&end, entries, 8);
    AppendLe(&end, entries, 8);
    AppendLe(&end, directorySize, 8);
    AppendLe(&end, signatureOffset, 8);
    end.insert(end.end(), archive.zip64Extensible.begin(), archive.zip64Extensible.end());
    AppendLe(&end, 0x07064B50, 4);
    AppendLe(&end, 0, 4);
    AppendLe(&end, signatureOffset + directorySize, 8);
    AppendLe(&end, archive.zip64TotalDisks, 4);
  }
  // Fields that point to the ZIP64 record keep their mark.
  AppendLe(&end, 0x06054B50, 4);
  AppendLe(&end, 0, 4);
  for (int i = 0; i < 2; ++i) AppendLe(&end, archive.endEntries == 0xFFFF ? 0xFFFF : entries, 2);
  AppendLe(&end, archive.endDirectorySize == 0xFFFFFFFF ? 0xFFFFFFFF : directorySize, 4);
  AppendLe(&end, archive.endDirectoryOffset == 0xFFFFFFFF ? 0xFFFFFFFF : signatureOffset, 4);
  AppendLe(&end, archive.endComment.size(), 2);
  end.insert(end.end(), archive.endComment.begin(), archive.endComment.end());
  SubjectStatus status = HashBytes(context.get(), end);
  if (status != SubjectStatus::kOk) return status;
  return FinishDigest(context.get(), digest);
}

class AppxSubject final : public Subject {
 public:
  AppxSubject(const ByteSource& file, ZipArchive archive) : file_(file), archive_(std::move(archive)) {}

  SubjectStatus ReadSignature(Bytes* blob) const override {
    blob->clear();
    const ZipEntry* entry = FindZipEntry(archive_, kSignatureName);
    if (entry == nullptr) return SubjectStatus::kNoSignature;
    if (entry->uncompressedSize > kMaxSignatureSize + sizeof kSignatureHeader) return SubjectStatus::kTooLarge;
    uint64_t headerSize = 0;
    uint64_t dataOffset = 0;
    SubjectStatus status = LocateZipData(file_, archive_, *entry, &headerSize, &dataOffset);
    if (status == SubjectStatus::kOk) {
      status = ReadZipContent(file_, *entry, dataOffset, [&](ByteView piece) {
        blob->insert(blob->end(), piece.begin(), piece.end());
        return SubjectStatus::kOk;
      });
    }
    if (status == SubjectStatus::kReadFault || status == SubjectStatus::kLibraryFailed) return status;
    if (status != SubjectStatus::kOk || blob->size() < sizeof kSignatureHeader ||
        std::memcmp(blob->data(), kSignatureHeader, sizeof kSignatureHeader) != 0) {
      blob->clear();
      return SubjectStatus::kNoSignature;
    }
    blob->erase(blob->begin(), blob->begin() + sizeof kSignatureHeader);
    return SubjectStatus::kOk;
  }

  SubjectStatus ComputeDigest(const EVP_MD* md, Bytes* digest) const override {
    const ZipEntry* signature = FindZipEntry(archive_, kSignatureName);
    const ZipEntry* blockMapEntry = FindZipEntry(archive_, kBlockMapName);
    const ZipEntry* contentTypes = FindZipEntry(archive_, kContentTypesName);
    const ZipEntry* codeIntegrity = FindZipEntry(archive_, kCodeIntegrityName);
    if (signature == nullptr) return SubjectStatus::kNoSignature;

    // The block map first, on its own: every other file is checked against
    // it as the one pass over the records comes by it.
    Bytes blockMapHash;
    BlockMapReader reader;
    SubjectStatus status = HashEntry(file_, archive_, *blockMapEntry, md, &blockMapHash, [&](ByteView piece) {
      return reader.Feed(piece) ? SubjectStatus::kOk : SubjectStatus::kBadDigest;
    });
    if (status != SubjectStatus::kOk) return status;
    BlockMap map;
    // A block map that does not read, or names another hash than the
    // signature's, vouches for nothing the signature covers.
    if (!reader.Finish(&map) || EVP_MD_get_type(map.md) != EVP_MD_get_type(md)) return SubjectStatus::kBadDigest;

    EvpMdCtxPtr records = StartDigest(md);
    EvpMdCtxPtr contentTypesContext = StartDigest(md);
    EvpMdCtxPtr codeIntegrityContext = StartDigest(md);
    if (!records || !contentTypesContext || !codeIntegrityContext) return SubjectStatus::kLibraryFailed;
    std::vector<PassEntry> pass;
    status = PlanPass(map, *signature, {blockMapEntry, contentTypes, codeIntegrity}, &pass);
    if (status != SubjectStatus::kOk) return status;
    for (PassEntry& entry : pass) {
      if (entry.entry == contentTypes) entry.contentHash = contentTypesContext.get();
      if (entry.entry == codeIntegrity) entry.contentHash = codeIntegrityContext.get();
    }
    uint64_t signatureOffset = 0;
    status = CheckSignatureIsLast(*signature, &signatureOffset);
    if (status != SubjectStatus::kOk) return status;
    status = HashRecordsOnce(file_, signatureOffset, md, std::move(pass), records.get());
    if (status != SubjectStatus::kOk) return status;

    Bytes recordsHash;
    Bytes contentTypesHash;
    Bytes codeIntegrityHash;
    status = FinishDigest(records.get(), &recordsHash);
    if (status == SubjectStatus::kOk) status = FinishDigest(contentTypesContext.get(), &contentTypesHash);
    if (status == SubjectStatus::kOk && codeIntegrity != nullptr) {
      status = FinishDigest(codeIntegrityContext.get(), &codeIntegrityHash);
    }
    if (status != SubjectStatus::kOk) return status;
    Bytes directoryHash;
    status = HashDirectory(archive_, *signature, signatureOffset, md, &directoryHash);
    if (status != SubjectStatus::kOk) return status;

    digest->clear();
    Append(digest, "APPX");
    for (const auto& [tag, hash] :
         {std::pair{"AXPC", &recordsHash}, std::pair{"AXCD", &directoryHash}, std::pair{"AXCT", &contentTypesHash},
          std::pair{"AXBM", &blockMapHash}, std::pair{"AXCI", &codeIntegrityHash}}) {
      if (hash->empty()) continue;
      Append(digest, tag);
      digest->insert(digest->end(), hash->begin(), hash->end());
    }
    return SubjectStatus::kOk;
  }

 private:
  // Where every file's data is and what it is checked against: every file
  // but the package's own records is in the block map with its size and
  // local header's size; the map lists no file the package lacks. The code
  // integrity catalog has its own hash and may be left out of the map.
  // Damaged structure first, so that it decides over a content difference.
  SubjectStatus PlanPass(const BlockMap& map, const ZipEntry& signature,
                         std::initializer_list<const ZipEntry*> ownRecords, std::vector<PassEntry>* pass) const {
    size_t mapped = 0;
    for (const ZipEntry& entry : archive_.entries) {
      if (&entry == &signature) continue;
      PassEntry planned{&entry, 0, nullptr, nullptr};
      uint64_t headerSize = 0;
      SubjectStatus status = LocateZipData(file_, archive_, entry, &headerSize, &planned.dataOffset);
      if (status != SubjectStatus::kOk) return status;
      if (!KnownZipMethod(entry)) return SubjectStatus::kNotThisFormat;
      const std::string name = BlockMapName(entry.name);
      auto found = map.files.find(name);
      bool own = false;
      for (const ZipEntry* record : ownRecords) own = own || record == &entry;
      if (!own || (entry.name == kCodeIntegrityName && found != map.files.end())) {
        if (found == map.files.end() || entry.uncompressedSize != found->second.size ||
            headerSize != found->second.localHeaderSize) {
          return SubjectStatus::kBadDigest;
        }
        planned.blocks = &found->second;
        ++mapped;
      } else if (found != map.files.end()) {
        return SubjectStatus::kBadDigest;
      }
      pass->push_back(planned);
    }
    return mapped == map.files.size() ? SubjectStatus::kOk : SubjectStatus::kBadDigest;
  }

  // The signature's record comes after every other and reaches the central
  // directory, so that the records hash and the directory hash together
  // cover everything but the signature.
  SubjectStatus CheckSignatureIsLast(const ZipEntry& signature, uint64_t* signatureOffset) const {
    for (const ZipEntry& entry : archive_.entries) {
      if (&entry != &signature && entry.localHeaderOffset >= signature.localHeaderOffset) {
        return SubjectStatus::kBadDigest;
      }
    }
    uint64_t headerSize = 0;
    uint64_t dataOffset = 0;
    SubjectStatus status = LocateZipData(file_, archive_, signature, &headerSize, &dataOffset);
    if (status != SubjectStatus::kOk) return status;
    const uint64_t gap = archive_.directoryOffset - (dataOffset + signature.compressedSize);
    // A data descriptor, with or without its signature, sizes of 4 or 8
    // bytes.
    const bool descriptor = (signature.flags & kZipDataDescriptorFlag) != 0;
    if (descriptor ? !(gap == 12 || gap == 16 || gap == 20 || gap == 24) : gap != 0) return SubjectStatus::kBadDigest;
    *signatureOffset = signature.localHeaderOffset;
    return SubjectStatus::kOk;
  }

  const ByteSource& file_;
  ZipArchive archive_;
};

}  // namespace

SubjectStatus OpenAppxSubject(const ByteSource& file, std::unique_ptr<Subject>* subject) {
  ZipArchive archive;
  SubjectStatus status = ReadZipArchive(file, &archive);
  if (status != SubjectStatus::kOk) return status;
  if (FindZipEntry(archive, kBlockMapName) == nullptr || FindZipEntry(archive, kContentTypesName) == nullptr) {
    return SubjectStatus::kNotThisFormat;
  }
  *subject = std::make_unique<AppxSubject>(file, std::move(archive));
  return SubjectStatus::kOk;
}

}  // namespace wintrust
