// Builds small compound files for the tests, with full control over what
// the reader sees: sector size, storages, mini and regular streams, CLSIDs,
// and where each structure lands, so that a test can damage one of them.
// Test code only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"

namespace wintrust::test_support {

struct BuilderEntry {
  std::u16string name;
  bool storage = false;
  size_t parent = 0;  // index of the parent storage in the list; 0 is the root
  Bytes content;      // streams only
  std::array<uint8_t, 16> clsid{};
  uint32_t stateBits = 0;
  uint64_t creationTime = 0;
  uint64_t modifiedTime = 0;
};

// Where the builder put things, for tests that damage them.
struct CompoundLayout {
  uint32_t sectorSize = 0;
  uint32_t directoryStart = 0;  // the directory is contiguous from here
  uint32_t miniFatStart = 0;    // 0xFFFFFFFE when there is no mini stream
  uint32_t containerStart = 0;  // the mini stream's first sector
  std::vector<uint32_t> fatSectors;
  std::vector<uint32_t> difatSectors;
  // Per entry (0 is the root): the directory index, and the first sector or
  // mini sector of its content.
  std::vector<uint32_t> directoryIndex;
  std::vector<uint32_t> startSector;

  uint64_t SectorOffset(uint32_t sector) const { return (uint64_t{sector} + 1) * sectorSize; }
  // The file offset of a sector's FAT entry.
  uint64_t FatEntryOffset(uint32_t sector) const;
  // The file offset of the directory entry of entries[i].
  uint64_t EntryOffset(size_t i) const;
};

// A compound file of version 3 (sectorShift 9) or 4 (12) holding `entries`;
// entries[0] is the root (its name and content are not used). Streams below
// 4096 bytes go into the mini stream. Each storage's members form a balanced
// tree in list order; every structure is contiguous, the FAT last.
Bytes BuildCompoundFile(uint16_t sectorShift, const std::vector<BuilderEntry>& entries,
                        CompoundLayout* layout = nullptr);

}  // namespace wintrust::test_support
