// Hostile MSI packages, each verified from a real file with the exact status
// it must give, and each cheap.
#include <gtest/gtest.h>

#include <chrono>

#include "wintrust/msi/compound_file.h"
#include "wintrust/msi/msi_subject.h"
#include "wintrust/testing/compound_file_builder.h"
#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

// A compound file of `entries` (entries[0] the root) whose root also holds
// the signature of the signed MSI fixture: the verification reaches the
// digest, which cannot match.
Bytes PackageWithFixtureSignature(std::vector<test_support::BuilderEntry> entries,
                                  test_support::CompoundLayout* layout = nullptr) {
  const Bytes fixture = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/msi-rsa-sha256.msi");
  const MemorySource source(fixture);
  std::unique_ptr<Subject> subject;
  EXPECT_EQ(OpenMsiSubject(source, &subject), SubjectStatus::kOk);
  Bytes blob;
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  entries.push_back(
      {u"\x05"
       u"DigitalSignature",
       false, 0, blob});
  return test_support::BuildCompoundFile(9, entries, layout);
}

TEST_F(HostileInputTest, PackageWithoutASignatureStream) {
  std::vector<test_support::BuilderEntry> entries(2);
  entries[1] = {u"content", false, 0, Bytes(100, 'c')};
  EXPECT_EQ(VerifyBytes(test_support::BuildCompoundFile(9, entries)), TRUST_E_NOSIGNATURE);
  EXPECT_EQ(VerifyBytes(PackageWithFixtureSignature(entries)), TRUST_E_BAD_DIGEST) << "signed, other content";
}

TEST_F(HostileInputTest, PackageWhoseDirectoryCannotBeRead) {
  std::vector<test_support::BuilderEntry> entries(3);
  entries[1] = {u"content", false, 0, Bytes(100, 'c')};
  entries[2] = {u"more", false, 0, Bytes(5000, 'm')};
  test_support::CompoundLayout layout;
  const Bytes good = PackageWithFixtureSignature(entries, &layout);
  constexpr HRESULT kUnknown = TRUST_E_SUBJECT_FORM_UNKNOWN;
  const FieldCase<HRESULT> cases[] = {
      {"two sibling links to the same member", layout.EntryOffset(2) + 0x48, layout.directoryIndex[1], 4, kUnknown},
      {"a child link to the root", layout.EntryOffset(0) + 0x4C, 0, 4, kUnknown},
      {"the directory's chain looping", layout.FatEntryOffset(layout.directoryStart), layout.directoryStart, 4,
       kUnknown},
      {"the FAT listed past the end", 0x4C, 0x7FFFFFFF, 4, kUnknown},
      {"sectors of 1 KiB", 0x1E, 10, 4, kUnknown},
      {"a FAT sector count of 0xFFFFFFFF", 0x2C, 0xFFFFFFFF, 4, kUnknown},
      {"a mini FAT sector count of 0x7FFFFFFF", 0x40, 0x7FFFFFFF, 4, kUnknown},
      {"a DIFAT start without DIFAT sectors", 0x44, 1, 4, kUnknown},
  };
  const Bytes signedFixture = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/msi-rsa-sha256.msi");
  for (const FieldCase<HRESULT>& c : cases) {
    Bytes file = good;
    PutField(&file, c.offset, c.value, c.width);
    EXPECT_EQ(VerifyBytes(file), c.status) << c.what;
    // The header's own fields are outside the digest: on the signed package
    // they would otherwise leave the verdict as it was.
    if (c.offset < 0x4C) {
      Bytes package = signedFixture;
      PutField(&package, c.offset, c.value, c.width);
      EXPECT_EQ(VerifyBytes(package), c.status) << c.what << " in the signed package";
    }
  }
  EXPECT_EQ(VerifyBytes(signedFixture), 0) << "the signed package as it was";
  EXPECT_EQ(VerifyBytes(ByteView(good).first(good.size() - 1)), TRUST_E_SUBJECT_FORM_UNKNOWN) << "cut by a byte";
}

TEST_F(HostileInputTest, PackageNestingAndEntryCountAreBounded) {
  std::vector<test_support::BuilderEntry> deep(1);
  for (uint32_t level = 0; level <= kMaxNestingLevel; ++level) {
    deep.push_back({u"s", true, deep.size() - 1, {}});
  }
  EXPECT_EQ(VerifyBytes(PackageWithFixtureSignature(deep)), TRUST_E_SUBJECT_FORM_UNKNOWN);
  std::vector<test_support::BuilderEntry> wide(kMaxCompoundEntries);
  for (size_t i = 1; i < wide.size(); ++i) {
    wide[i].name = {u'e', static_cast<char16_t>(0x4000 + i % 0x1000), static_cast<char16_t>(0x4000 + i / 0x1000)};
  }
  EXPECT_EQ(VerifyBytes(PackageWithFixtureSignature(wide)), TRUST_E_SUBJECT_FORM_UNKNOWN);
}

TEST_F(HostileInputTest, PackageSignatureStreamDamagedOrTooLarge) {
  std::vector<test_support::BuilderEntry> entries(2);
  entries[1] = {u"content", false, 0, Bytes(100, 'c')};
  test_support::CompoundLayout layout;
  const Bytes good = PackageWithFixtureSignature(entries, &layout);
  Bytes file = good;
  // The signature, a mini stream, starts past the end of the mini stream.
  PutLe32(&file, layout.EntryOffset(2) + 0x74, 0x00FFFFFF);
  EXPECT_EQ(VerifyBytes(file), TRUST_E_NOSIGNATURE) << "a signature stream that cannot be read";
  file = good;
  PutLe32(&file, layout.EntryOffset(2) + 0x78, static_cast<uint32_t>(kMaxSignatureSize + 1));
  EXPECT_EQ(VerifyBytes(file), CRYPT_E_ASN1_LARGE);
}

TEST_F(HostileInputTest, PackageStreamsSharingSectorsAreReadOnce) {
  // A thousand streams that all claim the same 4 MiB: each sector is read
  // for one of them only, so the cost stays that of the file.
  std::vector<test_support::BuilderEntry> entries(2);
  entries[1] = {u"payload", false, 0, Bytes(size_t{4} << 20, 'p')};
  for (int i = 0; i < 1000; ++i) {
    entries.push_back({u"copy" + std::u16string(1, static_cast<char16_t>(0x4000 + i)), false, 0, Bytes(4096, 'q')});
  }
  test_support::CompoundLayout layout;
  Bytes file = PackageWithFixtureSignature(entries, &layout);
  for (size_t i = 2; i < entries.size(); ++i) {
    PutLe32(&file, layout.EntryOffset(i) + 0x74, layout.startSector[1]);
    PutLe32(&file, layout.EntryOffset(i) + 0x78, static_cast<uint32_t>(entries[1].content.size()));
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VerifyBytes(file), TRUST_E_BAD_DIGEST);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "a quadratic read would hash 4 GiB";
}

}  // namespace
}  // namespace wintrust::test_support
