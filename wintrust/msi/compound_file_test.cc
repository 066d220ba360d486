#include "wintrust/msi/compound_file.h"

#include <gtest/gtest.h>

#include <string>

#include "wintrust/testing/compound_file_builder.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

using test_support::BuildCompoundFile;
using test_support::BuilderEntry;
using test_support::CompoundLayout;
using test_support::FieldCase;
using test_support::PutField;

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return out;
}

// A package-like tree: mini streams, regular streams, an empty stream and a
// storage with its own members, in no particular order.
std::vector<BuilderEntry> SampleEntries() {
  std::vector<BuilderEntry> entries(7);
  entries[0].clsid[0] = 0x84;
  entries[1] = {u"small", false, 0, Pattern(100, 1)};
  entries[2] = {u"large", false, 0, Pattern(10000, 2)};
  entries[3] = {u"empty", false, 0, {}};
  entries[4] = {u"storage", true, 0, {}};
  entries[4].clsid[15] = 0x46;
  entries[5] = {u"inner", false, 4, Pattern(4096, 3)};
  entries[6] = {u"innerSmall", false, 4, Pattern(4095, 4)};
  return entries;
}

std::string NameOf(const CompoundEntry& entry) {
  std::string out;
  const ByteView name = entry.name();
  for (size_t i = 0; i + 1 < name.size(); i += 2) out.push_back(static_cast<char>(name[i]));
  return out;
}

// The index of the entry called `name`; -1 when there is none.
int Find(const CompoundFile& file, const std::string& name) {
  for (size_t i = 1; i < file.entries().size(); ++i) {
    if (NameOf(file.entries()[i]) == name) return static_cast<int>(i);
  }
  return -1;
}

CompoundFileStatus ReadAll(const CompoundFile& file, int index, size_t bufferSize, Bytes* out) {
  out->clear();
  Bytes buffer(bufferSize);
  return file.ReadStream(static_cast<size_t>(index), buffer,
                         [out](ByteView piece) { out->insert(out->end(), piece.begin(), piece.end()); });
}

// Opens a copy of `bytes`, kept for the rest of the run so that the file
// opened from it stays readable.
CompoundFileStatus OpenBytes(Bytes bytes, std::unique_ptr<CompoundFile>* file) {
  struct Kept {
    explicit Kept(Bytes owned) : bytes(std::move(owned)), source(bytes) {}
    Bytes bytes;
    MemorySource source;
  };
  static std::vector<std::unique_ptr<Kept>> kept;
  kept.push_back(std::make_unique<Kept>(std::move(bytes)));
  return CompoundFile::Open(kept.back()->source, file);
}

class CompoundFileBothSectorSizes : public ::testing::TestWithParam<uint16_t> {};

TEST_P(CompoundFileBothSectorSizes, ReadsTheTreeAndEveryStream) {
  const std::vector<BuilderEntry> entries = SampleEntries();
  const Bytes bytes = BuildCompoundFile(GetParam(), entries);
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(OpenBytes(bytes, &file), CompoundFileStatus::kOk);
  EXPECT_EQ(file->sectorSize(), 1u << GetParam());
  ASSERT_EQ(file->entries().size(), entries.size());
  const CompoundEntry& root = file->entries()[0];
  EXPECT_EQ(root.type, CompoundEntryType::kRoot);
  EXPECT_EQ(root.clsid[0], 0x84);
  EXPECT_EQ(root.children.size(), 4u);

  for (size_t i = 1; i < entries.size(); ++i) {
    std::string name(entries[i].name.begin(), entries[i].name.end());
    const int index = Find(*file, name);
    ASSERT_GE(index, 0) << name;
    const CompoundEntry& entry = file->entries()[static_cast<size_t>(index)];
    EXPECT_EQ(entry.type, entries[i].storage ? CompoundEntryType::kStorage : CompoundEntryType::kStream);
    EXPECT_EQ(entry.clsid, entries[i].clsid);
    if (entries[i].storage) {
      EXPECT_EQ(entry.children.size(), 2u);
      continue;
    }
    EXPECT_EQ(entry.size, entries[i].content.size());
    // Buffers smaller than a mini sector, between, and larger than the file.
    for (size_t bufferSize : {size_t{1}, size_t{100}, size_t{1} << 20}) {
      Bytes content;
      ASSERT_EQ(ReadAll(*file, index, bufferSize, &content), CompoundFileStatus::kOk) << name;
      EXPECT_EQ(content, entries[i].content) << name << " buffer " << bufferSize;
    }
  }
}

TEST(CompoundFile, ReadsATableBeyondTheHeadersHundredAndNineSectors) {
  // More FAT sectors than the header lists: the rest come from the DIFAT.
  std::vector<BuilderEntry> entries(2);
  entries[1] = {u"big", false, 0, Pattern(size_t{8} << 20, 9)};
  CompoundLayout layout;
  const Bytes bytes = BuildCompoundFile(9, entries, &layout);
  ASSERT_FALSE(layout.difatSectors.empty());
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(OpenBytes(bytes, &file), CompoundFileStatus::kOk);
  Bytes content;
  ASSERT_EQ(ReadAll(*file, Find(*file, "big"), size_t{256} << 10, &content), CompoundFileStatus::kOk);
  EXPECT_TRUE(content == entries[1].content);

  // The DIFAT's count and its chain's end must agree with the FAT it lists.
  const uint64_t lastNext = layout.SectorOffset(layout.difatSectors.back()) + 512 - 4;
  const std::pair<uint64_t, uint32_t> damages[] = {
      {0x48, static_cast<uint32_t>(layout.difatSectors.size() + 1)},
      {0x48, static_cast<uint32_t>(layout.difatSectors.size() - 1)},
      {0x44, 0xFFFFFFFE},
      {lastNext, layout.difatSectors.front()},
      {lastNext, 0xFFFFFFFF},
  };
  for (const auto& [offset, value] : damages) {
    Bytes damaged = bytes;
    PutLe32(&damaged, offset, value);
    EXPECT_EQ(OpenBytes(damaged, &file), CompoundFileStatus::kDamaged) << offset << " " << value;
  }
}

TEST(CompoundFile, RefusesSectorsTheFatDoesNotCover) {
  // A FAT of one 512-byte sector covers 128 sectors; a file holding more
  // contradicts its FAT sector count.
  CompoundLayout layout;
  Bytes bytes = BuildCompoundFile(9, SampleEntries(), &layout);
  ASSERT_EQ(layout.fatSectors.size(), 1u);
  bytes.resize(512 + 129 * 512, 0);
  std::unique_ptr<CompoundFile> file;
  EXPECT_EQ(OpenBytes(bytes, &file), CompoundFileStatus::kDamaged);
  bytes.resize(512 + 128 * 512);
  EXPECT_EQ(OpenBytes(bytes, &file), CompoundFileStatus::kOk);
}

INSTANTIATE_TEST_SUITE_P(SectorShift, CompoundFileBothSectorSizes, ::testing::Values(9, 12));

TEST(CompoundFile, RefusesFilesWithoutTheMagic) {
  std::unique_ptr<CompoundFile> file;
  EXPECT_EQ(OpenBytes({}, &file), CompoundFileStatus::kNotCompoundFile);
  EXPECT_EQ(OpenBytes({0xD0, 0xCF, 0x11}, &file), CompoundFileStatus::kNotCompoundFile);
  EXPECT_EQ(OpenBytes(Bytes(4096, 'M'), &file), CompoundFileStatus::kNotCompoundFile);
  EXPECT_FALSE(file);
}

TEST(CompoundFile, RefusesADamagedHeaderTableOrDirectory) {
  CompoundLayout layout;
  const Bytes good = BuildCompoundFile(9, SampleEntries(), &layout);
  const uint64_t storageEntry = layout.EntryOffset(4);
  constexpr CompoundFileStatus kDamaged = CompoundFileStatus::kDamaged;
  const FieldCase<CompoundFileStatus> cases[] = {
      {"big-endian byte order", 0x1C, 0xFEFF, 2, kDamaged},
      {"version 3 with 4096-byte sectors", 0x1E, 12, 2, kDamaged},
      {"sectors of 1 KiB", 0x1E, 10, 2, kDamaged},
      {"mini sectors of 128 bytes", 0x20, 7, 2, kDamaged},
      {"a mini-stream cutoff of 8192", 0x38, 8192, 2, kDamaged},
      {"version 5", 0x1A, 5, 2, kDamaged},
      {"the first FAT sector past the end", 0x4C, 0x00FFFFFF, 4, kDamaged},
      {"no FAT sectors", 0x2C, 0, 4, kDamaged},
      {"the directory starting past the end", 0x30, 0x00FFFFFF, 4, kDamaged},
      {"the directory chain looping on itself", layout.FatEntryOffset(layout.directoryStart), layout.directoryStart, 4,
       kDamaged},
      {"the mini FAT starting past the end", 0x3C, 0x00FFFFFF, 4, kDamaged},
      {"the mini stream's chain into the directory", layout.EntryOffset(0) + 0x74, layout.directoryStart, 4, kDamaged},
      {"the mini stream larger than the file", layout.EntryOffset(0) + 0x78, 0x7FFFFFFF, 4, kDamaged},
      {"a storage whose child is the root", storageEntry + 0x4C, 0, 4, kDamaged},
      {"a sibling link to itself", layout.EntryOffset(layout.directoryIndex[1]) + 0x44, layout.directoryIndex[1], 4,
       kDamaged},
      {"a child link past the directory", layout.EntryOffset(0) + 0x4C, 1000, 4, kDamaged},
      {"a reachable unused entry", storageEntry + 0x42, 0, 1, kDamaged},
      {"a second root", storageEntry + 0x42, 5, 1, kDamaged},
      {"a name of 65 bytes", storageEntry + 0x40, 66, 2, kDamaged},
      {"an odd name size", storageEntry + 0x40, 5, 2, kDamaged},
      {"a name without its NUL", storageEntry + 0x40, 4, 2, kDamaged},
      // Header counts that contradict the file.
      {"a FAT sector count of 0xFFFFFFFF", 0x2C, 0xFFFFFFFF, 4, kDamaged},
      {"one FAT sector more than the header lists", 0x2C, static_cast<uint32_t>(layout.fatSectors.size() + 1), 4,
       kDamaged},
      {"a mini FAT sector count of 0x7FFFFFFF", 0x40, 0x7FFFFFFF, 4, kDamaged},
      {"one mini FAT sector more than its chain", 0x40, 2, 4, kDamaged},
      {"no mini FAT sectors under a mini stream", 0x40, 0, 4, kDamaged},
      {"a DIFAT start inside the file without DIFAT sectors", 0x44, 1, 4, kDamaged},
      {"a DIFAT start past the end without DIFAT sectors", 0x44, 0x00FFFFFF, 4, kDamaged},
      {"a DIFAT sector the FAT does not need", 0x48, 1, 4, kDamaged},
  };
  for (const FieldCase<CompoundFileStatus>& c : cases) {
    Bytes bytes = good;
    PutField(&bytes, c.offset, c.value, c.width);
    std::unique_ptr<CompoundFile> file;
    EXPECT_EQ(OpenBytes(bytes, &file), c.status) << c.what;
  }
  std::unique_ptr<CompoundFile> file;
  EXPECT_EQ(OpenBytes(Bytes(good.begin(), good.begin() + 300), &file), kDamaged);
  EXPECT_EQ(OpenBytes(Bytes(good.begin(), good.begin() + 512), &file), kDamaged);
}

// Damage inside one stream's chain spares the rest of the file: only that
// stream (or the later of two crossing streams) fails to read.
TEST(CompoundFile, MarksOnlyTheStreamWhoseChainIsDamaged) {
  CompoundLayout layout;
  const std::vector<BuilderEntry> entries = SampleEntries();
  const Bytes good = BuildCompoundFile(9, entries, &layout);
  const uint32_t large = layout.startSector[2];
  struct Case {
    const char* what;
    uint64_t offset;
    uint32_t value;
    std::string damaged;
  };
  const Case cases[] = {
      {"a regular chain looping", layout.FatEntryOffset(large + 1), large, "large"},
      {"a regular chain ending early", layout.FatEntryOffset(large + 1), 0xFFFFFFFE, "large"},
      {"a regular chain leaving the file", layout.FatEntryOffset(large + 1), 0x00FFFFFF, "large"},
      {"a regular chain through a free sector", layout.FatEntryOffset(large + 1), 0xFFFFFFFF, "large"},
      {"two regular chains crossing", layout.EntryOffset(5) + 0x74, large, "inner"},
      {"a regular chain through the directory", layout.EntryOffset(2) + 0x74, layout.directoryStart, "large"},
      {"a mini chain looping", layout.SectorOffset(layout.miniFatStart) + 4 * layout.startSector[1],
       layout.startSector[1], "small"},
      {"a mini chain past the mini stream", layout.EntryOffset(6) + 0x74, 100000, "innerSmall"},
      {"a stream larger than the file", layout.EntryOffset(5) + 0x78, 0x7FFFFFFF, "inner"},
  };
  for (const Case& c : cases) {
    Bytes bytes = good;
    PutLe32(&bytes, c.offset, c.value);
    std::unique_ptr<CompoundFile> file;
    ASSERT_EQ(OpenBytes(bytes, &file), CompoundFileStatus::kOk) << c.what;
    for (size_t i = 1; i < entries.size(); ++i) {
      if (entries[i].storage) continue;
      const std::string name(entries[i].name.begin(), entries[i].name.end());
      Bytes content;
      const CompoundFileStatus status = ReadAll(*file, Find(*file, name), 4096, &content);
      if (name == c.damaged) {
        EXPECT_EQ(status, CompoundFileStatus::kDamaged) << c.what;
      } else {
        EXPECT_EQ(status, CompoundFileStatus::kOk) << c.what << ": " << name;
      }
    }
  }
}

TEST(CompoundFile, ACutFileIsDamaged) {
  // The builder puts the FAT last: any cut takes some of it away.
  const Bytes good = BuildCompoundFile(9, SampleEntries());
  for (size_t cut : {size_t{1}, size_t{511}, size_t{512}}) {
    std::unique_ptr<CompoundFile> file;
    EXPECT_EQ(OpenBytes(Bytes(good.begin(), good.end() - static_cast<ptrdiff_t>(cut)), &file),
              CompoundFileStatus::kDamaged)
        << cut;
  }
}

TEST(CompoundFile, IgnoresTheHighHalfOfSizesInVersion3Only) {
  CompoundLayout layout;
  const std::vector<BuilderEntry> entries = SampleEntries();
  for (uint16_t shift : {uint16_t{9}, uint16_t{12}}) {
    Bytes bytes = BuildCompoundFile(shift, entries, &layout);
    PutLe32(&bytes, layout.EntryOffset(1) + 0x7C, 1);
    std::unique_ptr<CompoundFile> file;
    ASSERT_EQ(OpenBytes(bytes, &file), CompoundFileStatus::kOk);
    Bytes content;
    const CompoundFileStatus status = ReadAll(*file, Find(*file, "small"), 4096, &content);
    if (shift == 9) {
      EXPECT_EQ(status, CompoundFileStatus::kOk);
      EXPECT_EQ(content, entries[1].content);
    } else {
      EXPECT_EQ(status, CompoundFileStatus::kDamaged);
    }
  }
}

TEST(CompoundFile, BoundsTheNestingOfStorages) {
  for (uint32_t levels : {kMaxNestingLevel, kMaxNestingLevel + 1}) {
    std::vector<BuilderEntry> entries(1);
    for (uint32_t level = 0; level < levels; ++level) {
      BuilderEntry storage;
      storage.name = u"s" + std::u16string(1, static_cast<char16_t>(u'A' + level % 26));
      storage.storage = true;
      storage.parent = entries.size() - 1;
      entries.push_back(storage);
    }
    std::unique_ptr<CompoundFile> file;
    EXPECT_EQ(OpenBytes(BuildCompoundFile(9, entries), &file),
              levels <= kMaxNestingLevel ? CompoundFileStatus::kOk : CompoundFileStatus::kDamaged)
        << levels;
  }
}

TEST(CompoundFile, BoundsTheNumberOfEntries) {
  for (size_t count : {kMaxCompoundEntries, kMaxCompoundEntries + 1}) {
    std::vector<BuilderEntry> entries(count);
    for (size_t i = 1; i < count; ++i) {
      entries[i].name = u"e" + std::u16string(1, static_cast<char16_t>(0x4000 + i % 0x1000)) +
                        std::u16string(1, static_cast<char16_t>(0x4000 + i / 0x1000));
    }
    std::unique_ptr<CompoundFile> file;
    EXPECT_EQ(OpenBytes(BuildCompoundFile(12, entries), &file),
              count <= kMaxCompoundEntries ? CompoundFileStatus::kOk : CompoundFileStatus::kDamaged)
        << count;
  }
}

// A source whose reads that touch [failFrom, failTo) fail, as when the
// disk cannot read part of the file.
class FailingSource final : public ByteSource {
 public:
  FailingSource(ByteView bytes, uint64_t failFrom, uint64_t failTo)
      : bytes_(bytes), failFrom_(failFrom), failTo_(failTo) {}
  uint64_t size() const override { return bytes_.size(); }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset < failTo_ && offset + out.size() > failFrom_) return false;
    return MemorySource(bytes_).Read(offset, out);
  }

 private:
  ByteView bytes_;
  uint64_t failFrom_;
  uint64_t failTo_;
};

TEST(CompoundFile, ReportsReadFaults) {
  CompoundLayout layout;
  const Bytes bytes = BuildCompoundFile(9, SampleEntries(), &layout);
  std::unique_ptr<CompoundFile> file;
  EXPECT_EQ(CompoundFile::Open(FailingSource(bytes, 100, 101), &file), CompoundFileStatus::kReadFault);
  EXPECT_EQ(CompoundFile::Open(FailingSource(bytes, layout.EntryOffset(4), layout.EntryOffset(4) + 1), &file),
            CompoundFileStatus::kReadFault);
  // Failing inside the large stream only: opening works, reading it fails.
  const uint64_t inLarge = layout.SectorOffset(layout.startSector[2]) + 1000;
  const FailingSource source(bytes, inLarge, inLarge + 1);
  ASSERT_EQ(CompoundFile::Open(source, &file), CompoundFileStatus::kOk);
  Bytes content;
  EXPECT_EQ(ReadAll(*file, Find(*file, "large"), 4096, &content), CompoundFileStatus::kReadFault);
  EXPECT_EQ(ReadAll(*file, Find(*file, "small"), 4096, &content), CompoundFileStatus::kOk);
}

TEST(CompoundFile, ReadsSmallStreamsWholeUpToALimit) {
  const std::vector<BuilderEntry> entries = SampleEntries();
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(OpenBytes(BuildCompoundFile(9, entries), &file), CompoundFileStatus::kOk);
  Bytes content;
  ASSERT_EQ(file->ReadSmallStream(static_cast<size_t>(Find(*file, "large")), 10000, &content), CompoundFileStatus::kOk);
  EXPECT_EQ(content, entries[2].content);
  EXPECT_EQ(file->ReadSmallStream(static_cast<size_t>(Find(*file, "large")), 9999, &content),
            CompoundFileStatus::kDamaged);
  EXPECT_EQ(file->ReadSmallStream(static_cast<size_t>(Find(*file, "storage")), 10000, &content),
            CompoundFileStatus::kDamaged);
}

}  // namespace
}  // namespace wintrust
