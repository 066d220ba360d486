#include "wintrust/appx/appx_subject.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <set>
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
constexpr std::string_view kBundleManifestName = "AppxMetadata/AppxBundleManifest.xml";
constexpr uint8_t kSignatureHeader[] = {'P', 'K', 'C', 'X'};

// The parts of the digest blob, each a tag and a hash.
constexpr char kPackageContentsTag[] = "AXPC";   // the local records
constexpr char kCentralDirectoryTag[] = "AXCD";  // the directory and end records
constexpr char kContentTypesTag[] = "AXCT";
constexpr char kBlockMapTag[] = "AXBM";
constexpr char kCodeIntegrityTag[] = "AXCI";

// Caps on the files the package hashes on their own, from what they
// describe: every entry named in the block map with its blocks, typed in the
// content types, hashed in the code integrity catalog, with room to spare
// for markup no packaging tool writes. A file past its cap would be inflated
// and hashed for nothing any package needs.
struct SizeCap {
  uint64_t base;
  uint64_t perEntry;
  uint64_t perNameByte;
  uint64_t perBlock;
};
constexpr SizeCap kBlockMapCap{4096, 512, 6, 256};
constexpr SizeCap kContentTypesCap{uint64_t{64} << 10, 256, 6, 0};
constexpr SizeCap kCodeIntegrityCap{uint64_t{1} << 20, 1024, 4, 0};
// Above any cap the sums give: no file of the package's own is held or
// hashed past it.
constexpr uint64_t kMaxOwnFileSize = uint64_t{64} << 20;

uint64_t CapFor(const ZipArchive& archive, const SizeCap& cap) {
  uint64_t total = cap.base;
  for (const ZipEntry& entry : archive.entries) {
    // At most 2^44 blocks per entry and 2^20 entries: the sum cannot wrap.
    const uint64_t blocks = std::min<uint64_t>(entry.uncompressedSize / kBlockMapBlockSize + 1, uint64_t{1} << 32);
    total += cap.perEntry + cap.perNameByte * entry.name.size() + cap.perBlock * blocks;
  }
  return std::min(total, kMaxOwnFileSize);
}

void Append(Bytes* out, std::string_view text) {
  out->insert(out->end(), text.begin(), text.end());
}

// The name the block map gives a ZIP entry: the entry names are
// percent-encoded with '/' between folders, the map's are not and use '\'.
// False for a name that does not decode to one map name only: a '%' without
// two hex digits, a '\' of its own, or a separator written as an escape.
bool BlockMapName(std::string_view zipName, std::string* name) {
  name->clear();
  for (size_t i = 0; i < zipName.size(); ++i) {
    const char c = zipName[i];
    if (c == '\\') return false;
    if (c != '%') {
      name->push_back(c == '/' ? '\\' : c);
      continue;
    }
    if (i + 2 >= zipName.size()) return false;
    const int high = OPENSSL_hexchar2int(static_cast<unsigned char>(zipName[i + 1]));
    const int low = OPENSSL_hexchar2int(static_cast<unsigned char>(zipName[i + 2]));
    if (high < 0 || low < 0) return false;
    const char decoded = static_cast<char>(high * 16 + low);
    if (decoded == '/' || decoded == '\\') return false;
    name->push_back(decoded);
    i += 2;
  }
  return true;
}

// Streams an entry's uncompressed bytes into `md`'s hash and on to `also`.
SubjectStatus HashEntry(const ByteSource& file, const ZipEntry& entry, const EVP_MD* md, Bytes* digest,
                        const ZipContentSink& also) {
  EvpMdCtxPtr context = StartDigest(md);
  if (!context) return SubjectStatus::kLibraryFailed;
  SubjectStatus status = ReadZipContent(file, entry, entry.dataOffset(), [&](ByteView piece) {
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
  AppxSubject(const ByteSource& file, ZipArchive archive, std::vector<std::string> mapNames)
      : file_(file), archive_(std::move(archive)), mapNames_(std::move(mapNames)) {}

  SubjectStatus ReadSignature(Bytes* blob) const override {
    blob->clear();
    const ZipEntry* entry = FindZipEntry(archive_, kSignatureName);
    if (entry == nullptr) return SubjectStatus::kNoSignature;
    if (entry->uncompressedSize > kMaxSignatureSize + sizeof kSignatureHeader) return SubjectStatus::kTooLarge;
    SubjectStatus status = ReadZipContent(file_, *entry, entry->dataOffset(), [&](ByteView piece) {
      blob->insert(blob->end(), piece.begin(), piece.end());
      return SubjectStatus::kOk;
    });
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
    // The signature's record last, as signing adds it: the records hash and
    // the directory hash then cover every byte but the signature's.
    if (signature != &archive_.entries.back()) return SubjectStatus::kNotThisFormat;
    if (blockMapEntry->uncompressedSize > CapFor(archive_, kBlockMapCap) ||
        contentTypes->uncompressedSize > CapFor(archive_, kContentTypesCap) ||
        (codeIntegrity != nullptr && codeIntegrity->uncompressedSize > CapFor(archive_, kCodeIntegrityCap))) {
      return SubjectStatus::kBadDigest;
    }

    // The block map first, on its own and whole: every other file is
    // checked against it as the one pass over the records comes by it.
    Bytes blockMapHash;
    BlockMapReader reader;
    uint8_t* text = reader.Buffer(blockMapEntry->uncompressedSize);
    if (text == nullptr) return SubjectStatus::kBadDigest;
    uint64_t filled = 0;
    SubjectStatus status = HashEntry(file_, *blockMapEntry, md, &blockMapHash, [&](ByteView piece) {
      // The decoder yields no more than the entry's uncompressed size.
      std::memcpy(text + filled, piece.data(), piece.size());
      filled += piece.size();
      return SubjectStatus::kOk;
    });
    if (status != SubjectStatus::kOk) return status;
    BlockMap map;
    // A block map that does not read, or names another hash than the
    // signature's, vouches for nothing the signature covers.
    if (!reader.Parse(&map) || EVP_MD_get_type(map.md) != EVP_MD_get_type(md)) return SubjectStatus::kBadDigest;

    EvpMdCtxPtr records = StartDigest(md);
    EvpMdCtxPtr contentTypesContext = StartDigest(md);
    EvpMdCtxPtr codeIntegrityContext = StartDigest(md);
    if (!records || !contentTypesContext || !codeIntegrityContext) return SubjectStatus::kLibraryFailed;
    std::vector<PackagePassFile> pass;
    status = PlanPass(map, {blockMapEntry, contentTypes, codeIntegrity}, &pass);
    if (status != SubjectStatus::kOk) return status;
    for (PackagePassFile& file : pass) {
      if (file.entry == contentTypes) file.contentHash = contentTypesContext.get();
      if (file.entry == codeIntegrity) file.contentHash = codeIntegrityContext.get();
    }
    status = RunPackagePass(file_, signature->localHeaderOffset, md, pass, records.get());
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
    status = HashDirectory(archive_, *signature, signature->localHeaderOffset, md, &directoryHash);
    if (status != SubjectStatus::kOk) return status;

    digest->clear();
    Append(digest, "APPX");
    for (const auto& [tag, hash] :
         {std::pair{kPackageContentsTag, &recordsHash}, std::pair{kCentralDirectoryTag, &directoryHash},
          std::pair{kContentTypesTag, &contentTypesHash}, std::pair{kBlockMapTag, &blockMapHash},
          std::pair{kCodeIntegrityTag, &codeIntegrityHash}}) {
      if (hash->empty()) continue;
      Append(digest, tag);
      digest->insert(digest->end(), hash->begin(), hash->end());
    }
    return SubjectStatus::kOk;
  }

  bool IsPackageBundle() const override { return FindZipEntry(archive_, kBundleManifestName) != nullptr; }

 private:
  // What every file but the signature is checked against, in record order:
  // each file is in the block map with its size and local header's size,
  // each Block of a deflated file gives its compressed size and those add up
  // to the file's, a stored file's give none; each map file is marked as its
  // entry is found, and one left unmarked is a file the package lacks. The
  // files hashed on their own (the block map, the content types) are not in
  // the map; the code integrity catalog may be.
  SubjectStatus PlanPass(const BlockMap& map, std::initializer_list<const ZipEntry*> separatelyHashed,
                         std::vector<PackagePassFile>* pass) const {
    std::set<const BlockMapFile*> marked;
    for (size_t i = 0; i + 1 < archive_.entries.size(); ++i) {
      const ZipEntry& entry = archive_.entries[i];
      if (!KnownZipMethod(entry)) return SubjectStatus::kNotThisFormat;
      PackagePassFile planned{&entry, nullptr, nullptr};
      auto found = map.files.find(mapNames_[i]);
      const bool separate =
          std::find(separatelyHashed.begin(), separatelyHashed.end(), &entry) != separatelyHashed.end();
      if (!separate || (entry.name == kCodeIntegrityName && found != map.files.end())) {
        if (found == map.files.end() || entry.uncompressedSize != found->second.size ||
            entry.localHeaderSize != found->second.localHeaderSize || !BlockSizesAgree(entry, found->second) ||
            !marked.insert(&found->second).second) {
          return SubjectStatus::kBadDigest;
        }
        planned.blocks = &found->second;
      } else if (found != map.files.end()) {
        return SubjectStatus::kBadDigest;
      }
      pass->push_back(planned);
    }
    return marked.size() == map.files.size() ? SubjectStatus::kOk : SubjectStatus::kBadDigest;
  }

  // A deflated file's blocks each give a compressed size of at least a byte
  // and together the data's; a stored file's give none. A deflated file of no
  // bytes has no blocks and so nothing to compare.
  static bool BlockSizesAgree(const ZipEntry& entry, const BlockMapFile& mapped) {
    uint64_t total = 0;
    for (const BlockMapBlock& block : mapped.blocks) {
      if (entry.method != kZipDeflated) {
        if (block.compressedSize) return false;
        continue;
      }
      if (!block.compressedSize || *block.compressedSize == 0 || *block.compressedSize > entry.compressedSize - total) {
        return false;
      }
      total += *block.compressedSize;
    }
    return entry.method != kZipDeflated || mapped.blocks.empty() || total == entry.compressedSize;
  }

  const ByteSource& file_;
  ZipArchive archive_;
  std::vector<std::string> mapNames_;  // each entry's name as the block map writes it
};

}  // namespace

SubjectStatus OpenAppxSubject(const ByteSource& file, std::unique_ptr<Subject>* subject) {
  ZipArchive archive;
  SubjectStatus status = ReadZipArchive(file, &archive);
  if (status != SubjectStatus::kOk) return status;
  if (FindZipEntry(archive, kBlockMapName) == nullptr || FindZipEntry(archive, kContentTypesName) == nullptr) {
    return SubjectStatus::kNotThisFormat;
  }
  status = ReadZipRecords(file, &archive);
  if (status != SubjectStatus::kOk) return status;
  // Each entry is one file where the package is installed: its name decodes
  // to one map name, and no two decode to names equal apart from case.
  std::vector<std::string> mapNames(archive.entries.size());
  std::vector<std::string> folded;
  for (size_t i = 0; i < archive.entries.size(); ++i) {
    if (!BlockMapName(archive.entries[i].name, &mapNames[i])) return SubjectStatus::kNotThisFormat;
    folded.push_back(FoldAsciiCase(mapNames[i]));
  }
  std::sort(folded.begin(), folded.end());
  if (std::adjacent_find(folded.begin(), folded.end()) != folded.end()) return SubjectStatus::kNotThisFormat;
  *subject = std::make_unique<AppxSubject>(file, std::move(archive), std::move(mapNames));
  return SubjectStatus::kOk;
}

}  // namespace wintrust
