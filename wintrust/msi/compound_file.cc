#include "wintrust/msi/compound_file.h"

#include <algorithm>
#include <utility>

namespace wintrust {
namespace {

constexpr uint64_t kHeaderSize = 512;
constexpr size_t kHeaderFatEntries = 109;
constexpr uint64_t kEntrySize = 128;
constexpr uint64_t kMiniSectorSize = 64;
constexpr uint64_t kMiniStreamCutoff = 4096;

// Special sector numbers.
constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kNoStream = 0xFFFFFFFF;

// Header fields.
constexpr uint64_t kMajorVersionField = 0x1A;
constexpr uint64_t kByteOrderField = 0x1C;
constexpr uint64_t kSectorShiftField = 0x1E;
constexpr uint64_t kMiniSectorShiftField = 0x20;
constexpr uint64_t kFatSectorCountField = 0x2C;
constexpr uint64_t kFirstDirectorySectorField = 0x30;
constexpr uint64_t kMiniStreamCutoffField = 0x38;
constexpr uint64_t kFirstMiniFatSectorField = 0x3C;
constexpr uint64_t kMiniFatSectorCountField = 0x40;
constexpr uint64_t kFirstDifatSectorField = 0x44;
constexpr uint64_t kDifatSectorCountField = 0x48;
constexpr uint64_t kHeaderFatField = 0x4C;

// Directory entry fields.
constexpr uint64_t kNameSizeField = 0x40;
constexpr uint64_t kTypeField = 0x42;
constexpr uint64_t kLeftSiblingField = 0x44;
constexpr uint64_t kRightSiblingField = 0x48;
constexpr uint64_t kChildField = 0x4C;
constexpr uint64_t kClsidField = 0x50;
constexpr uint64_t kStateBitsField = 0x60;
constexpr uint64_t kCreationTimeField = 0x64;
constexpr uint64_t kModifiedTimeField = 0x6C;
constexpr uint64_t kStartSectorField = 0x74;
constexpr uint64_t kSizeField = 0x78;

uint64_t DivideRoundingUp(uint64_t value, uint64_t divisor) {
  return value / divisor + (value % divisor != 0);
}

template <size_t N>
std::array<uint8_t, N> CopyField(ByteView bytes, uint64_t offset) {
  std::array<uint8_t, N> out{};
  std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(offset), N, out.begin());
  return out;
}

// A directory entry's links, which only the walk needs.
struct EntryLinks {
  uint32_t left = kNoStream;
  uint32_t right = kNoStream;
  uint32_t child = kNoStream;
  uint32_t startSector = 0;
};

}  // namespace

// Reads the structures in the order they depend on each other: header, FAT,
// directory, mini stream, the streams' chains. Every sector any chain uses
// is claimed once in `claimed_`; a chain that reaches a claimed sector
// loops or crosses another chain, and is damaged.
class CompoundFile::Loader {
 public:
  Loader(const ByteSource& file, CompoundFile* out) : file_(file), out_(out) {}

  CompoundFileStatus Load() {
    CompoundFileStatus status = ReadHeader();
    if (status == CompoundFileStatus::kOk) status = LoadFat();
    if (status == CompoundFileStatus::kOk) status = LoadDirectory();
    if (status == CompoundFileStatus::kOk) status = LoadMiniStream();
    if (status == CompoundFileStatus::kOk) LoadStreamChains();
    return status;
  }

 private:
  uint64_t SectorOffset(uint32_t sector) const { return (uint64_t{sector} + 1) << shift_; }

  // Reads [offset, offset + out.size()), which must lie inside the file.
  CompoundFileStatus ReadInside(uint64_t offset, std::span<uint8_t> out) const {
    if (!RangeInside(file_.size(), offset, out.size())) return CompoundFileStatus::kDamaged;
    return file_.Read(offset, out) ? CompoundFileStatus::kOk : CompoundFileStatus::kReadFault;
  }

  // Reads a whole sector of little-endian 32-bit numbers and appends them.
  CompoundFileStatus AppendTableSector(uint32_t sector, std::vector<uint32_t>* table) const {
    if (sector >= sectorLimit_) return CompoundFileStatus::kDamaged;
    Bytes bytes(out_->sectorSize_);
    CompoundFileStatus status = ReadInside(SectorOffset(sector), bytes);
    if (status != CompoundFileStatus::kOk) return status;
    for (uint64_t offset = 0; offset < bytes.size(); offset += 4) table->push_back(*ReadLe32(bytes, offset));
    return CompoundFileStatus::kOk;
  }

  CompoundFileStatus ReadHeader() {
    const uint64_t size = file_.size();
    if (size < sizeof kCompoundFileMagic) return CompoundFileStatus::kNotCompoundFile;
    uint8_t magic[sizeof kCompoundFileMagic];
    if (!file_.Read(0, magic)) return CompoundFileStatus::kReadFault;
    if (!SameBytes(magic, kCompoundFileMagic)) return CompoundFileStatus::kNotCompoundFile;

    CompoundFileStatus status = ReadInside(0, header_);
    if (status != CompoundFileStatus::kOk) return status;
    const uint16_t major = *ReadLe16(header_, kMajorVersionField);
    const uint16_t shift = *ReadLe16(header_, kSectorShiftField);
    // The format allows exactly these: version 3 with 512-byte sectors and
    // version 4 with 4096-byte sectors, little-endian, 64-byte mini sectors
    // for streams below 4096 bytes.
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12)) || *ReadLe16(header_, kByteOrderField) != 0xFFFE ||
        *ReadLe16(header_, kMiniSectorShiftField) != 6 ||
        *ReadLe32(header_, kMiniStreamCutoffField) != kMiniStreamCutoff) {
      return CompoundFileStatus::kDamaged;
    }
    version3_ = major == 3;
    shift_ = shift;
    out_->sectorSize_ = uint32_t{1} << shift;
    // Sectors that begin inside the file; the header fills sector -1.
    const uint64_t sectorSize = out_->sectorSize_;
    const uint64_t sectors = size <= sectorSize ? 0 : DivideRoundingUp(size - sectorSize, sectorSize);
    sectorLimit_ = static_cast<uint32_t>(std::min<uint64_t>(sectors, kMaxRegularSector));
    claimed_.assign(sectorLimit_, false);
    return CompoundFileStatus::kOk;
  }

  // Loads the FAT. Its header counts must agree with the file: the FAT
  // sectors are sectors of the file and cover every sector it holds, and the
  // DIFAT has exactly the sectors that list the FAT sectors past the
  // header's 109, its start the end of a chain when there are none. Only the
  // entries of the sectors inside the file are kept.
  CompoundFileStatus LoadFat() {
    const uint64_t perSector = out_->sectorSize_ / 4;
    const uint64_t fatCount = *ReadLe32(header_, kFatSectorCountField);
    if (fatCount < DivideRoundingUp(sectorLimit_, perSector) || fatCount > sectorLimit_) {
      return CompoundFileStatus::kDamaged;
    }
    std::vector<uint32_t> fatSectors;
    for (size_t i = 0; i < kHeaderFatEntries && fatSectors.size() < fatCount; ++i) {
      fatSectors.push_back(*ReadLe32(header_, kHeaderFatField + 4 * i));
    }
    // The DIFAT chain: each sector lists perSector - 1 FAT sectors and ends
    // with the number of the next one. Each sector is claimed, so it cannot
    // loop.
    uint32_t difat = *ReadLe32(header_, kFirstDifatSectorField);
    const uint64_t difatCount = *ReadLe32(header_, kDifatSectorCountField);
    if (difatCount != DivideRoundingUp(fatCount - fatSectors.size(), perSector - 1)) {
      return CompoundFileStatus::kDamaged;
    }
    for (uint64_t i = 0; i < difatCount; ++i) {
      if (difat >= sectorLimit_ || claimed_[difat]) return CompoundFileStatus::kDamaged;
      claimed_[difat] = true;
      std::vector<uint32_t> entries;
      CompoundFileStatus status = AppendTableSector(difat, &entries);
      if (status != CompoundFileStatus::kOk) return status;
      difat = entries.back();
      entries.pop_back();
      for (uint32_t sector : entries) {
        if (fatSectors.size() == fatCount) break;
        fatSectors.push_back(sector);
      }
    }
    if (difat != kEndOfChain && !(difatCount == 0 && difat == kFreeSector)) return CompoundFileStatus::kDamaged;
    for (uint32_t sector : fatSectors) {
      CompoundFileStatus status = AppendTableSector(sector, &fat_);
      if (status != CompoundFileStatus::kOk) return status;
    }
    if (fat_.size() > sectorLimit_) fat_.resize(sectorLimit_);
    return CompoundFileStatus::kOk;
  }

  // Follows the FAT chain from `start` for `count` sectors, claiming each.
  // With `exact`, the chain must have that many; otherwise it may end
  // earlier. Damaged when it leaves the file or the FAT, or reaches a
  // claimed sector.
  CompoundFileStatus WalkChain(uint32_t start, uint64_t count, bool exact, std::vector<uint32_t>* out) {
    uint32_t sector = start;
    for (uint64_t walked = 0; walked < count; ++walked) {
      if (sector == kEndOfChain && !exact) break;
      if (sector >= fat_.size() || claimed_[sector]) return CompoundFileStatus::kDamaged;
      claimed_[sector] = true;
      out->push_back(sector);
      sector = fat_[sector];
    }
    return CompoundFileStatus::kOk;
  }

  // Whether `length` bytes from the start of each of `sectors`, the last
  // one only `lastLength`, lie inside the file.
  bool SectorsInside(std::span<const uint32_t> sectors, uint64_t lastLength) const {
    for (size_t i = 0; i < sectors.size(); ++i) {
      const uint64_t length = i + 1 == sectors.size() ? lastLength : out_->sectorSize_;
      if (!RangeInside(file_.size(), SectorOffset(sectors[i]), length)) return false;
    }
    return true;
  }

  CompoundFileStatus ReadEntry(uint32_t index, CompoundEntry* entry, EntryLinks* links) const {
    const uint64_t perSector = out_->sectorSize_ / kEntrySize;
    if (index / perSector >= directorySectors_.size()) return CompoundFileStatus::kDamaged;
    uint8_t raw[kEntrySize];
    const uint64_t offset = SectorOffset(directorySectors_[index / perSector]) + (index % perSector) * kEntrySize;
    CompoundFileStatus status = ReadInside(offset, raw);
    if (status != CompoundFileStatus::kOk) return status;
    const ByteView bytes(raw);
    const uint8_t type = raw[kTypeField];
    if (type != 1 && type != 2 && type != 5) return CompoundFileStatus::kDamaged;
    entry->type = static_cast<CompoundEntryType>(type);
    entry->nameSize = *ReadLe16(bytes, kNameSizeField);
    if (entry->type != CompoundEntryType::kRoot) {
      // A name of 1 to 31 characters and its NUL.
      if (entry->nameSize < 4 || entry->nameSize > 64 || entry->nameSize % 2 != 0 ||
          *ReadLe16(bytes, entry->nameSize - 2u) != 0) {
        return CompoundFileStatus::kDamaged;
      }
    } else if (entry->nameSize > 64) {
      entry->nameSize = 0;
    }
    entry->nameBytes = CopyField<64>(bytes, 0);
    entry->clsid = CopyField<16>(bytes, kClsidField);
    entry->stateBits = CopyField<4>(bytes, kStateBitsField);
    entry->creationTime = CopyField<8>(bytes, kCreationTimeField);
    entry->modifiedTime = CopyField<8>(bytes, kModifiedTimeField);
    entry->size = version3_ ? *ReadLe32(bytes, kSizeField) : *ReadLe64(bytes, kSizeField);
    links->left = *ReadLe32(bytes, kLeftSiblingField);
    links->right = *ReadLe32(bytes, kRightSiblingField);
    links->child = *ReadLe32(bytes, kChildField);
    links->startSector = *ReadLe32(bytes, kStartSectorField);
    return CompoundFileStatus::kOk;
  }

  // Reads the root and every entry reachable from it. Each storage's members
  // form a tree of siblings below its child link; the trees are walked with
  // an explicit stack, and an entry reached twice (a cycle, or an entry
  // shared by two trees) makes the directory damaged.
  CompoundFileStatus LoadDirectory() {
    const uint32_t first = *ReadLe32(header_, kFirstDirectorySectorField);
    CompoundFileStatus status = WalkChain(first, sectorLimit_, false, &directorySectors_);
    if (status != CompoundFileStatus::kOk) return status;
    const uint64_t entryCount = directorySectors_.size() * (out_->sectorSize_ / kEntrySize);
    std::vector<bool> reached(static_cast<size_t>(entryCount), false);

    CompoundEntry root;
    EntryLinks rootLinks;
    status = ReadEntry(0, &root, &rootLinks);
    if (status != CompoundFileStatus::kOk) return status;
    if (root.type != CompoundEntryType::kRoot) return CompoundFileStatus::kDamaged;
    reached[0] = true;
    out_->entries_.push_back(std::move(root));
    startSectors_.push_back(rootLinks.startSector);

    struct Pending {
      uint32_t index;   // in the directory
      uint32_t parent;  // in entries_
      uint32_t level;   // the root's members are level 1
    };
    std::vector<Pending> pending = {{rootLinks.child, 0, 1}};
    while (!pending.empty()) {
      const Pending next = pending.back();
      pending.pop_back();
      if (next.index == kNoStream) continue;
      if (next.index >= entryCount || reached[next.index] || next.level > kMaxNestingLevel) {
        return CompoundFileStatus::kDamaged;
      }
      reached[next.index] = true;
      if (out_->entries_.size() == kMaxCompoundEntries) return CompoundFileStatus::kDamaged;
      CompoundEntry entry;
      EntryLinks links;
      status = ReadEntry(next.index, &entry, &links);
      if (status != CompoundFileStatus::kOk) return status;
      if (entry.type == CompoundEntryType::kRoot) return CompoundFileStatus::kDamaged;
      const auto added = static_cast<uint32_t>(out_->entries_.size());
      const bool storage = entry.type == CompoundEntryType::kStorage;
      out_->entries_.push_back(std::move(entry));
      startSectors_.push_back(links.startSector);
      directoryOrder_.emplace_back(next.index, added);
      out_->entries_[next.parent].children.push_back(added);
      pending.push_back({links.left, next.parent, next.level});
      pending.push_back({links.right, next.parent, next.level});
      if (storage) pending.push_back({links.child, added, next.level + 1});
    }
    return CompoundFileStatus::kOk;
  }

  // The mini stream is the root's stream; the mini FAT chains its 64-byte
  // sectors. The mini FAT's chain must have exactly the sectors the header
  // counts and cover the mini stream. Only the entries for sectors inside
  // the mini stream are loaded.
  CompoundFileStatus LoadMiniStream() {
    const uint64_t miniFatCount = *ReadLe32(header_, kMiniFatSectorCountField);
    std::vector<uint32_t> miniFatSectors;
    if (miniFatCount > sectorLimit_) return CompoundFileStatus::kDamaged;
    CompoundFileStatus status =
        WalkChain(*ReadLe32(header_, kFirstMiniFatSectorField), miniFatCount, true, &miniFatSectors);
    if (status != CompoundFileStatus::kOk) return status;
    const uint32_t after =
        miniFatSectors.empty() ? *ReadLe32(header_, kFirstMiniFatSectorField) : fat_[miniFatSectors.back()];
    if (after != kEndOfChain && !(miniFatSectors.empty() && after == kFreeSector)) {
      return CompoundFileStatus::kDamaged;
    }
    const uint64_t containerSize = out_->entries_[0].size;
    if (containerSize == 0) return CompoundFileStatus::kOk;
    const uint64_t sectorSize = out_->sectorSize_;
    if (containerSize > uint64_t{sectorLimit_} * sectorSize) return CompoundFileStatus::kDamaged;
    const uint64_t containerSectors = DivideRoundingUp(containerSize, sectorSize);
    status = WalkChain(startSectors_[0], containerSectors, true, &out_->miniContainer_);
    if (status != CompoundFileStatus::kOk) return status;
    if (!SectorsInside(out_->miniContainer_, containerSize - (containerSectors - 1) * sectorSize)) {
      return CompoundFileStatus::kDamaged;
    }
    miniSectorLimit_ = DivideRoundingUp(containerSize, kMiniSectorSize);
    if (miniFatCount < DivideRoundingUp(miniSectorLimit_ * 4, sectorSize)) return CompoundFileStatus::kDamaged;
    for (uint32_t sector : miniFatSectors) {
      status = AppendTableSector(sector, &miniFat_);
      if (status != CompoundFileStatus::kOk) return status;
    }
    if (miniFat_.size() > miniSectorLimit_) miniFat_.resize(static_cast<size_t>(miniSectorLimit_));
    miniClaimed_.assign(miniFat_.size(), false);
    return CompoundFileStatus::kOk;
  }

  // Follows a mini stream's chain for `count` mini sectors, claiming each.
  bool WalkMiniChain(uint32_t start, uint64_t count, std::vector<uint32_t>* out) {
    uint32_t sector = start;
    for (uint64_t walked = 0; walked < count; ++walked) {
      if (sector >= miniFat_.size() || miniClaimed_[sector]) return false;
      miniClaimed_[sector] = true;
      out->push_back(sector);
      sector = miniFat_[sector];
    }
    return true;
  }

  // Walks every stream's chain once, in the order of the directory. A
  // damaged chain marks its stream; its claims stay, so a later chain that
  // crosses it is damaged too.
  void LoadStreamChains() {
    out_->chains_.resize(out_->entries_.size());
    const uint64_t sectorSize = out_->sectorSize_;
    std::sort(directoryOrder_.begin(), directoryOrder_.end());
    for (const auto& [directoryIndex, i] : directoryOrder_) {
      const CompoundEntry& entry = out_->entries_[i];
      StreamChain& chain = out_->chains_[i];
      if (entry.type != CompoundEntryType::kStream || entry.size == 0) continue;
      if (entry.size < kMiniStreamCutoff) {
        chain.inMiniStream = true;
        chain.first = out_->miniChainSectors_.size();
        chain.damaged =
            !WalkMiniChain(startSectors_[i], DivideRoundingUp(entry.size, kMiniSectorSize), &out_->miniChainSectors_);
        chain.count = out_->miniChainSectors_.size() - chain.first;
        continue;
      }
      chain.first = out_->chainSectors_.size();
      if (entry.size > uint64_t{sectorLimit_} * sectorSize) {
        chain.damaged = true;
        continue;
      }
      const uint64_t count = DivideRoundingUp(entry.size, sectorSize);
      chain.damaged = WalkChain(startSectors_[i], count, true, &out_->chainSectors_) != CompoundFileStatus::kOk;
      chain.count = out_->chainSectors_.size() - chain.first;
      if (!chain.damaged) {
        const std::span<const uint32_t> sectors(out_->chainSectors_.data() + chain.first, chain.count);
        chain.damaged = !SectorsInside(sectors, entry.size - (count - 1) * sectorSize);
      }
    }
  }

  const ByteSource& file_;
  CompoundFile* out_;
  uint8_t header_[kHeaderSize] = {};
  bool version3_ = true;
  uint16_t shift_ = 9;
  uint32_t sectorLimit_ = 0;
  std::vector<bool> claimed_;
  std::vector<uint32_t> fat_;
  std::vector<uint32_t> directorySectors_;
  std::vector<uint32_t> startSectors_;  // parallel to entries_
  // (directory index, entries_ index) of every entry but the root.
  std::vector<std::pair<uint32_t, uint32_t>> directoryOrder_;
  uint64_t miniSectorLimit_ = 0;
  std::vector<uint32_t> miniFat_;
  std::vector<bool> miniClaimed_;
};

CompoundFileStatus CompoundFile::Open(const ByteSource& file, std::unique_ptr<CompoundFile>* out) {
  out->reset();
  std::unique_ptr<CompoundFile> compound(new CompoundFile(file));
  CompoundFileStatus status = Loader(file, compound.get()).Load();
  if (status == CompoundFileStatus::kOk) *out = std::move(compound);
  return status;
}

CompoundFileStatus CompoundFile::ReadStream(size_t index, std::span<uint8_t> buffer,
                                            const std::function<void(ByteView)>& sink) const {
  if (index >= entries_.size() || entries_[index].type != CompoundEntryType::kStream || chains_[index].damaged ||
      buffer.empty()) {
    return CompoundFileStatus::kDamaged;
  }
  const StreamChain& chain = chains_[index];
  const uint64_t unit = chain.inMiniStream ? kMiniSectorSize : sectorSize_;
  uint64_t left = entries_[index].size;

  // Reads [offset, offset + length) of the file in buffer-sized pieces.
  auto readRun = [&](uint64_t offset, uint64_t length) {
    while (length > 0) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
      if (!RangeInside(file_.size(), offset, piece)) return CompoundFileStatus::kDamaged;
      if (!file_.Read(offset, buffer.first(piece))) return CompoundFileStatus::kReadFault;
      sink(ByteView(buffer.data(), piece));
      offset += piece;
      length -= piece;
    }
    return CompoundFileStatus::kOk;
  };
  // Sectors that follow each other in the file are read as one run.
  uint64_t runOffset = 0;
  uint64_t runLength = 0;
  for (size_t i = 0; i < chain.count && left > 0; ++i) {
    uint64_t offset;
    if (chain.inMiniStream) {
      const uint64_t inContainer = uint64_t{miniChainSectors_[chain.first + i]} * kMiniSectorSize;
      const uint64_t containerSector = inContainer / sectorSize_;
      if (containerSector >= miniContainer_.size()) return CompoundFileStatus::kDamaged;
      offset = ((uint64_t{miniContainer_[containerSector]} + 1) * sectorSize_) + inContainer % sectorSize_;
    } else {
      offset = (uint64_t{chainSectors_[chain.first + i]} + 1) * sectorSize_;
    }
    const uint64_t length = std::min(left, unit);
    left -= length;
    if (runLength > 0 && offset == runOffset + runLength) {
      runLength += length;
      continue;
    }
    CompoundFileStatus status = readRun(runOffset, runLength);
    if (status != CompoundFileStatus::kOk) return status;
    runOffset = offset;
    runLength = length;
  }
  if (left > 0) return CompoundFileStatus::kDamaged;
  return readRun(runOffset, runLength);
}

CompoundFileStatus CompoundFile::ReadSmallStream(size_t index, uint64_t limit, Bytes* out) const {
  out->clear();
  if (index >= entries_.size() || entries_[index].size > limit) return CompoundFileStatus::kDamaged;
  out->reserve(static_cast<size_t>(entries_[index].size));
  uint8_t buffer[4096];
  return ReadStream(index, buffer, [out](ByteView piece) { out->insert(out->end(), piece.begin(), piece.end()); });
}

}  // namespace wintrust
