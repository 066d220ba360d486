#include "wintrust/msi/msi_subject.h"

#include <gtest/gtest.h>

#include <string>

#include "wintrust/subject/subject_digest.h"
#include "wintrust/testing/compound_file_builder.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

using test_support::BuildCompoundFile;
using test_support::BuilderEntry;
using test_support::CompoundLayout;

const std::u16string kSignature =
    u"\x05"
    u"DigitalSignature";
const std::u16string kExtended =
    u"\x05"
    u"MsiDigitalSignatureEx";

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes Concat(const std::vector<ByteView>& parts) {
  Bytes out;
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Sha256(ByteView bytes) {
  Bytes digest;
  EvpMdCtxPtr context = StartDigest(EVP_sha256());
  EXPECT_EQ(HashBytes(context.get(), bytes), SubjectStatus::kOk);
  EXPECT_EQ(FinishDigest(context.get(), &digest), SubjectStatus::kOk);
  return digest;
}

std::array<uint8_t, 16> Clsid(uint8_t fill) {
  std::array<uint8_t, 16> clsid;
  clsid.fill(fill);
  return clsid;
}

// A package with members out of order, a storage, a regular stream, the
// signature stream at the root and a stream of the same name inside the
// storage, which is not a signature there.
struct Package {
  std::vector<BuilderEntry> entries;
  Bytes a = Bytes(5000, 'A');  // regular sectors
  Bytes b = Text("bee");
  Bytes x = Text("inner x");
  Bytes nested = Text("not a signature here");
  Bytes signature = Text("signature blob");

  Package() {
    entries.resize(6);
    entries[0].clsid = Clsid(0x11);
    entries[0].stateBits = 0x01020304;
    entries[1] = {u"b", false, 0, b};
    entries[1].stateBits = 7;
    entries[1].creationTime = 0x0102030405060708;
    entries[1].modifiedTime = 0x1112131415161718;
    entries[2] = {u"s", true, 0, {}, Clsid(0x22)};
    entries[2].modifiedTime = 99;
    entries[3] = {kSignature, false, 2, nested};
    entries[4] = {u"x", false, 2, x};
    entries[5] = {u"a", false, 0, a};
  }

  void AddRootStream(const std::u16string& name, Bytes content) {
    entries.push_back({name, false, 0, std::move(content)});
  }
};

// The entry's metadata as the extended signature hashes it, spelled out.
Bytes Metadata(const BuilderEntry& entry, bool root) {
  Bytes out;
  auto le = [&out](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  if (!root) {
    for (char16_t c : entry.name) le(c, 2);
  }
  if (entry.storage || root) {
    out.insert(out.end(), entry.clsid.begin(), entry.clsid.end());
  } else {
    le(entry.content.size(), 4);
  }
  le(entry.stateBits, 4);
  if (!root) {
    le(entry.creationTime, 8);
    le(entry.modifiedTime, 8);
  }
  return out;
}

class MsiSubjectStatuses : public ::testing::Test {
 protected:
  // Opens `bytes` as the verifier would; the bytes stay alive with the test.
  SubjectStatus Open(Bytes bytes, std::unique_ptr<Subject>* subject) {
    bytes_ = std::move(bytes);
    source_ = std::make_unique<MemorySource>(bytes_);
    return OpenMsiSubject(*source_, subject);
  }
  Bytes bytes_;
  std::unique_ptr<MemorySource> source_;
};

class MsiSubjectTest : public MsiSubjectStatuses, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(MsiSubjectTest, HashesStreamsSortedThenEachStoragesClsid) {
  Package package;
  package.AddRootStream(kSignature, package.signature);
  std::unique_ptr<Subject> subject;
  ASSERT_EQ(Open(BuildCompoundFile(GetParam(), package.entries), &subject), SubjectStatus::kOk);
  Bytes blob;
  ASSERT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  EXPECT_EQ(blob, package.signature);
  Bytes digest;
  ASSERT_EQ(subject->ComputeDigest(EVP_sha256(), &digest), SubjectStatus::kOk);
  // Root: a, b, then the storage s (its "\x05DigitalSignature" sorts first
  // and is hashed, x, then s's CLSID), then the root's CLSID.
  const Bytes expected = Sha256(
      Concat({package.a, package.b, package.nested, package.x, package.entries[2].clsid, package.entries[0].clsid}));
  EXPECT_EQ(test_support::Hex(digest), test_support::Hex(expected));
}

TEST_P(MsiSubjectTest, PrefixesTheMetadataDigestWhenTheExtendedStreamHoldsIt) {
  Package package;
  package.AddRootStream(kSignature, package.signature);
  const std::vector<BuilderEntry>& e = package.entries;
  const Bytes metadata = Sha256(Concat({Metadata(e[0], true), Metadata(e[5], false), Metadata(e[1], false),
                                        Metadata(e[2], false), Metadata(e[3], false), Metadata(e[4], false)}));
  package.AddRootStream(kExtended, metadata);
  std::unique_ptr<Subject> subject;
  ASSERT_EQ(Open(BuildCompoundFile(GetParam(), package.entries), &subject), SubjectStatus::kOk);
  Bytes blob;
  ASSERT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  Bytes digest;
  ASSERT_EQ(subject->ComputeDigest(EVP_sha256(), &digest), SubjectStatus::kOk);
  const Bytes expected = Sha256(Concat(
      {metadata, package.a, package.b, package.nested, package.x, package.entries[2].clsid, package.entries[0].clsid}));
  EXPECT_EQ(test_support::Hex(digest), test_support::Hex(expected));

  // Another algorithm than the stream's, or a stream that disagrees with
  // the metadata, contradicts the signature.
  EXPECT_EQ(subject->ComputeDigest(EVP_sha1(), &digest), SubjectStatus::kBadDigest);
  Bytes wrong = metadata;
  wrong[0] ^= 1;
  package.entries.back().content = wrong;
  ASSERT_EQ(Open(BuildCompoundFile(GetParam(), package.entries), &subject), SubjectStatus::kOk);
  EXPECT_EQ(subject->ComputeDigest(EVP_sha256(), &digest), SubjectStatus::kBadDigest);
}

INSTANTIATE_TEST_SUITE_P(SectorShift, MsiSubjectTest, ::testing::Values(9, 12));

CompoundEntry Named(const std::u16string& name) {
  CompoundEntry entry;
  for (size_t i = 0; i < name.size(); ++i) {
    entry.nameBytes[2 * i] = static_cast<uint8_t>(name[i]);
    entry.nameBytes[2 * i + 1] = static_cast<uint8_t>(name[i] >> 8);
  }
  entry.nameSize = static_cast<uint16_t>(2 * name.size() + 2);
  return entry;
}

TEST(MsiNameOrder, ComparesTheLittleEndianBytesNotTheCharacters) {
  EXPECT_TRUE(MsiNameOrder(Named(u"B"), Named(u"a")));
  EXPECT_FALSE(MsiNameOrder(Named(u"a"), Named(u"B")));
  // U+0141 is 41 01, "B" is 42 00: by bytes U+0141 comes first, by
  // characters it would come last.
  EXPECT_TRUE(MsiNameOrder(Named(u"\u0141"), Named(u"B")));
  // U+4100 is 00 41 and sorts before "A" (41 00).
  EXPECT_TRUE(MsiNameOrder(Named(u"\u4100"), Named(u"A")));
  // A name before the names it starts (its NUL sorts first), whatever the
  // lengths.
  EXPECT_TRUE(MsiNameOrder(Named(u"ab"), Named(u"abc")));
  EXPECT_TRUE(MsiNameOrder(Named(u"ab"), Named(u"b")));
  EXPECT_FALSE(MsiNameOrder(Named(u"abc"), Named(u"abc")));
}

TEST_F(MsiSubjectStatuses, NoSignatureUnlessTheRootHoldsAReadableOne) {
  Package package;
  std::unique_ptr<Subject> subject;
  Bytes blob;
  // Only the storage holds a stream of that name.
  ASSERT_EQ(Open(BuildCompoundFile(9, package.entries), &subject), SubjectStatus::kOk);
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kNoSignature);

  package.AddRootStream(kSignature, {});
  ASSERT_EQ(Open(BuildCompoundFile(9, package.entries), &subject), SubjectStatus::kOk);
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kNoSignature) << "an empty signature stream";

  package.entries.back().content = package.signature;
  CompoundLayout layout;
  Bytes bytes = BuildCompoundFile(9, package.entries, &layout);
  const size_t signature = package.entries.size() - 1;
  PutLe32(&bytes, layout.EntryOffset(signature) + 0x74, 0x00FFFFFF);
  ASSERT_EQ(Open(bytes, &subject), SubjectStatus::kOk);
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kNoSignature) << "a signature whose chain is damaged";

  bytes = BuildCompoundFile(9, package.entries, &layout);
  PutLe32(&bytes, layout.EntryOffset(signature) + 0x78, (64u << 20) + 1);
  ASSERT_EQ(Open(bytes, &subject), SubjectStatus::kOk);
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kTooLarge);
}

TEST_F(MsiSubjectStatuses, DamagedContentIsABadDigestAndADamagedDirectoryNoPackage) {
  Package package;
  package.AddRootStream(kSignature, package.signature);
  CompoundLayout layout;
  Bytes bytes = BuildCompoundFile(9, package.entries, &layout);
  PutLe32(&bytes, layout.FatEntryOffset(layout.startSector[5]), layout.startSector[5]);
  std::unique_ptr<Subject> subject;
  ASSERT_EQ(Open(bytes, &subject), SubjectStatus::kOk);
  Bytes blob;
  ASSERT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  Bytes digest;
  EXPECT_EQ(subject->ComputeDigest(EVP_sha256(), &digest), SubjectStatus::kBadDigest);

  bytes = BuildCompoundFile(9, package.entries, &layout);
  PutLe32(&bytes, layout.EntryOffset(0) + 0x4C, 1000);
  EXPECT_EQ(Open(bytes, &subject), SubjectStatus::kNotThisFormat);
  EXPECT_EQ(Open(Text("not a compound file"), &subject), SubjectStatus::kNotThisFormat);
  EXPECT_FALSE(subject);
}

}  // namespace
}  // namespace wintrust
