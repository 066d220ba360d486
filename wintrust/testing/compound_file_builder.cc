#include "wintrust/testing/compound_file_builder.h"

#include <algorithm>

#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kFatSector = 0xFFFFFFFD;
constexpr uint32_t kDifatSector = 0xFFFFFFFC;
constexpr uint32_t kNoStream = 0xFFFFFFFF;
constexpr uint64_t kEntrySize = 128;

uint64_t Sectors(uint64_t bytes, uint64_t sectorSize) {
  return (bytes + sectorSize - 1) / sectorSize;
}

// Links `members` (entry indices) into a balanced tree; returns its root.
uint32_t LinkSiblings(const std::vector<size_t>& members, size_t begin, size_t end, std::vector<uint32_t>* left,
                      std::vector<uint32_t>* right) {
  if (begin == end) return kNoStream;
  const size_t middle = begin + (end - begin) / 2;
  const size_t entry = members[middle];
  (*left)[entry] = LinkSiblings(members, begin, middle, left, right);
  (*right)[entry] = LinkSiblings(members, middle + 1, end, left, right);
  return static_cast<uint32_t>(entry);
}

bool InMiniStream(const BuilderEntry& entry) {
  return !entry.storage && !entry.content.empty() && entry.content.size() < 4096;
}

}  // namespace

uint64_t CompoundLayout::FatEntryOffset(uint32_t sector) const {
  const uint32_t perSector = sectorSize / 4;
  return SectorOffset(fatSectors[sector / perSector]) + (sector % perSector) * 4;
}

uint64_t CompoundLayout::EntryOffset(size_t i) const {
  return SectorOffset(directoryStart) + uint64_t{directoryIndex[i]} * kEntrySize;
}

Bytes BuildCompoundFile(uint16_t sectorShift, const std::vector<BuilderEntry>& entries, CompoundLayout* layout) {
  CompoundLayout local;
  CompoundLayout& out = layout ? *layout : local;
  out = CompoundLayout{};
  const uint32_t sectorSize = uint32_t{1} << sectorShift;
  const uint32_t perSector = sectorSize / 4;
  out.sectorSize = sectorSize;
  const size_t count = entries.size();
  out.startSector.assign(count, kEndOfChain);
  for (size_t i = 0; i < count; ++i) out.directoryIndex.push_back(static_cast<uint32_t>(i));

  // The mini stream and its chains.
  Bytes mini;
  std::vector<uint32_t> miniFat;
  for (size_t i = 1; i < count; ++i) {
    if (!InMiniStream(entries[i])) continue;
    const auto first = static_cast<uint32_t>(mini.size() / 64);
    out.startSector[i] = first;
    mini.insert(mini.end(), entries[i].content.begin(), entries[i].content.end());
    mini.resize(Sectors(mini.size(), 64) * 64);
    const auto last = static_cast<uint32_t>(mini.size() / 64);
    for (uint32_t s = first; s < last; ++s) miniFat.push_back(s + 1 == last ? kEndOfChain : s + 1);
  }

  // Sector numbers: directory, mini FAT, mini stream, regular streams, then
  // the DIFAT and the FAT.
  uint32_t next = 0;
  std::vector<uint32_t> fat;
  auto allocate = [&](uint64_t sectors) {
    const uint32_t first = next;
    for (uint64_t s = 0; s < sectors; ++s) fat.push_back(s + 1 == sectors ? kEndOfChain : next + 1), ++next;
    return sectors == 0 ? kEndOfChain : first;
  };
  const uint64_t directorySectors = Sectors(count * kEntrySize, sectorSize);
  out.directoryStart = allocate(directorySectors);
  const uint64_t miniFatSectors = Sectors(miniFat.size() * 4, sectorSize);
  out.miniFatStart = allocate(miniFatSectors);
  out.containerStart = allocate(Sectors(mini.size(), sectorSize));
  out.startSector[0] = out.containerStart;
  for (size_t i = 1; i < count; ++i) {
    if (entries[i].storage || entries[i].content.size() < 4096) continue;
    out.startSector[i] = allocate(Sectors(entries[i].content.size(), sectorSize));
  }
  uint64_t fatCount = 1;
  uint64_t difatCount = 0;
  for (;;) {
    difatCount = fatCount > 109 ? Sectors(fatCount - 109, perSector - 1) : 0;
    if (fatCount * perSector >= next + fatCount + difatCount) break;
    ++fatCount;
  }
  for (uint64_t s = 0; s < difatCount; ++s) out.difatSectors.push_back(next++), fat.push_back(kDifatSector);
  for (uint64_t s = 0; s < fatCount; ++s) out.fatSectors.push_back(next++), fat.push_back(kFatSector);
  fat.resize(fatCount * perSector, kFreeSector);

  Bytes file((uint64_t{next} + 1) * sectorSize, 0);
  const uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(std::begin(magic), std::end(magic), file.begin());
  PutLe16(&file, 0x18, 0x3E);
  PutLe16(&file, 0x1A, sectorShift == 9 ? 3 : 4);
  PutLe16(&file, 0x1C, 0xFFFE);
  PutLe16(&file, 0x1E, sectorShift);
  PutLe16(&file, 0x20, 6);
  PutLe32(&file, 0x28, sectorShift == 9 ? 0 : static_cast<uint32_t>(directorySectors));
  PutLe32(&file, 0x2C, static_cast<uint32_t>(fatCount));
  PutLe32(&file, 0x30, out.directoryStart);
  PutLe32(&file, 0x38, 4096);
  PutLe32(&file, 0x3C, out.miniFatStart);
  PutLe32(&file, 0x40, static_cast<uint32_t>(miniFatSectors));
  PutLe32(&file, 0x44, difatCount == 0 ? kEndOfChain : out.difatSectors[0]);
  PutLe32(&file, 0x48, static_cast<uint32_t>(difatCount));
  for (size_t i = 0; i < 109; ++i) {
    PutLe32(&file, 0x4C + 4 * i, i < fatCount ? out.fatSectors[i] : kFreeSector);
  }
  for (uint64_t d = 0; d < difatCount; ++d) {
    const uint64_t base = out.SectorOffset(out.difatSectors[d]);
    for (uint32_t k = 0; k + 1 < perSector; ++k) {
      const uint64_t fatIndex = 109 + d * (perSector - 1) + k;
      PutLe32(&file, base + 4 * k, fatIndex < fatCount ? out.fatSectors[fatIndex] : kFreeSector);
    }
    PutLe32(&file, base + 4 * (perSector - 1), d + 1 < difatCount ? out.difatSectors[d + 1] : kEndOfChain);
  }
  for (size_t i = 0; i < fat.size(); ++i) PutLe32(&file, out.FatEntryOffset(static_cast<uint32_t>(i)), fat[i]);
  for (size_t i = 0; i < miniFat.size(); ++i) PutLe32(&file, out.SectorOffset(out.miniFatStart) + 4 * i, miniFat[i]);
  std::copy(mini.begin(), mini.end(), file.begin() + static_cast<ptrdiff_t>(out.SectorOffset(out.containerStart)));
  for (size_t i = 1; i < count; ++i) {
    if (entries[i].storage || entries[i].content.size() < 4096) continue;
    std::copy(entries[i].content.begin(), entries[i].content.end(),
              file.begin() + static_cast<ptrdiff_t>(out.SectorOffset(out.startSector[i])));
  }

  // The directory: each storage's members linked into a tree below it.
  std::vector<uint32_t> left(count, kNoStream), right(count, kNoStream), child(count, kNoStream);
  for (size_t storage = 0; storage < count; ++storage) {
    if (storage != 0 && !entries[storage].storage) continue;
    std::vector<size_t> members;
    for (size_t i = 1; i < count; ++i) {
      if (entries[i].parent == storage) members.push_back(i);
    }
    child[storage] = LinkSiblings(members, 0, members.size(), &left, &right);
  }
  const uint64_t directorySlots = directorySectors * (sectorSize / kEntrySize);
  for (uint64_t slot = 0; slot < directorySlots; ++slot) {
    const uint64_t base = out.SectorOffset(out.directoryStart) + slot * kEntrySize;
    PutLe32(&file, base + 0x44, kNoStream);
    PutLe32(&file, base + 0x48, kNoStream);
    PutLe32(&file, base + 0x4C, kNoStream);
    if (slot >= count) continue;
    const BuilderEntry& entry = entries[slot];
    const std::u16string name = slot == 0 ? u"Root Entry" : entry.name;
    for (size_t c = 0; c < name.size(); ++c) PutLe16(&file, base + 2 * c, name[c]);
    PutLe16(&file, base + 0x40, static_cast<uint16_t>(2 * name.size() + 2));
    file[base + 0x42] = slot == 0 ? 5 : entry.storage ? 1 : 2;
    file[base + 0x43] = 1;
    PutLe32(&file, base + 0x44, left[slot]);
    PutLe32(&file, base + 0x48, right[slot]);
    PutLe32(&file, base + 0x4C, child[slot]);
    std::copy(entry.clsid.begin(), entry.clsid.end(), file.begin() + static_cast<ptrdiff_t>(base + 0x50));
    PutLe32(&file, base + 0x60, entry.stateBits);
    PutLe64(&file, base + 0x64, entry.creationTime);
    PutLe64(&file, base + 0x6C, entry.modifiedTime);
    PutLe32(&file, base + 0x74, entry.storage && slot != 0 ? 0 : out.startSector[slot]);
    PutLe64(&file, base + 0x78, slot == 0 ? mini.size() : entry.storage ? 0 : entry.content.size());
  }
  return file;
}

}  // namespace wintrust::test_support
