#include "wintrust/cab/cabinet.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "wintrust/signature/digest_policy.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

constexpr uint64_t kHeaderSize = 60;  // fixed header, reserve sizes, 20-byte reserve
constexpr uint8_t kSignature[] = {0x30, 0x03, 0x02, 0x01, 0x07, 0x00, 0x00, 0x00};

// A signed cabinet of one folder and one data block of 8 bytes, no files,
// its signature `kSignature` at the end.
Bytes SignedCabinet() {
  Bytes file(kHeaderSize, 0);
  std::copy_n("MSCF", 4, file.begin());
  const uint32_t signatureOffset = static_cast<uint32_t>(kHeaderSize + 8 + 16);
  PutLe32(&file, 8, signatureOffset);                          // cbCabinet: the cabinet without its signature
  PutLe32(&file, 16, static_cast<uint32_t>(kHeaderSize + 8));  // coffFiles: after the folder
  file[24] = 3;
  file[25] = 1;
  PutLe16(&file, 26, 1);       // one folder
  PutLe16(&file, 30, 0x0004);  // reserve present
  PutLe16(&file, 36, 20);      // cbCFHeader
  PutLe32(&file, 40, 0x00100000);
  PutLe32(&file, 44, signatureOffset);
  PutLe32(&file, 48, sizeof kSignature);
  Bytes folder(8, 0);
  PutLe32(&folder, 0, static_cast<uint32_t>(kHeaderSize + 8));  // its data block
  PutLe16(&folder, 4, 1);                                       // one block
  file.insert(file.end(), folder.begin(), folder.end());
  for (uint8_t i = 0; i < 16; ++i) file.push_back(static_cast<uint8_t>(0xA0 + i));
  PutLe16(&file, kHeaderSize + 8 + 4, 8);  // cbData
  PutLe16(&file, kHeaderSize + 8 + 6, 8);  // cbUncomp
  file.insert(file.end(), std::begin(kSignature), std::end(kSignature));
  return file;
}

struct Outcome {
  SubjectStatus layout;
  SubjectStatus signature;  // when the layout was read
};

Outcome Read(ByteView file) {
  MemorySource source(file);
  CabinetLayout layout;
  Outcome outcome{ReadCabinetLayout(source, &layout), SubjectStatus::kOk};
  if (outcome.layout == SubjectStatus::kOk) {
    Bytes blob;
    outcome.signature = ReadCabinetSignature(source, layout, &blob);
  }
  return outcome;
}

TEST(Cabinet, FindsTheSignatureTheReserveLocates) {
  Bytes file = SignedCabinet();
  MemorySource source(file);
  CabinetLayout layout;
  ASSERT_EQ(ReadCabinetLayout(source, &layout), SubjectStatus::kOk);
  Bytes blob;
  ASSERT_EQ(ReadCabinetSignature(source, layout, &blob), SubjectStatus::kOk);
  EXPECT_TRUE(SameBytes(blob, kSignature));
}

struct DamageRow {
  const char* name;
  std::function<void(Bytes*)> change;
  Outcome outcome;
};

const DamageRow kDamageRows[] = {
    {"no MSCF", [](Bytes* f) { (*f)[0] = 'N'; }, {SubjectStatus::kNotThisFormat, {}}},
    {"cut inside the fixed header", [](Bytes* f) { f->resize(35); }, {SubjectStatus::kNotThisFormat, {}}},
    {"cut inside the reserve sizes", [](Bytes* f) { f->resize(38); }, {SubjectStatus::kNotThisFormat, {}}},
    {"cut inside the reserve", [](Bytes* f) { f->resize(59); }, {SubjectStatus::kNotThisFormat, {}}},
    {"reserve larger than the file", [](Bytes* f) { PutLe16(f, 36, 60000); }, {SubjectStatus::kNotThisFormat, {}}},
    {"no reserve flag", [](Bytes* f) { PutLe16(f, 30, 0); }, {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"reserve too small for the locator",
     [](Bytes* f) { PutLe16(f, 36, 19); },
     {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"signature offset 0", [](Bytes* f) { PutLe32(f, 44, 0); }, {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"signature size 0", [](Bytes* f) { PutLe32(f, 48, 0); }, {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"bytes after the signature", [](Bytes* f) { f->push_back(0); }, {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"cut inside the signature", [](Bytes* f) { f->pop_back(); }, {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"offset and size wrapping 32 bits",
     [](Bytes* f) {
       PutLe32(f, 44, 0xFFFFFFFF);
       PutLe32(f, 48, static_cast<uint32_t>(f->size() + 1));
     },
     {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"signature inside the header",
     [](Bytes* f) {
       PutLe32(f, 44, 40);
       PutLe32(f, 48, static_cast<uint32_t>(f->size() - 40));
     },
     {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
    {"signature starting at the end of a larger reserve",
     [](Bytes* f) {
       PutLe16(f, 36, 28);  // the folder's first 8 bytes now count as reserve
       PutLe32(f, 44, 68);
       PutLe32(f, 48, static_cast<uint32_t>(f->size() - 68));
     },
     {SubjectStatus::kNotThisFormat, {}}},
    // The fields of a signed cabinet that the digest does not cover must say
    // what signing wrote, and the folders and blocks must lie in the cabinet.
    {"reserved1 not zero", [](Bytes* f) { (*f)[5] = 1; }, {SubjectStatus::kNotThisFormat, {}}},
    {"reserved2 not zero", [](Bytes* f) { (*f)[12] = 1; }, {SubjectStatus::kNotThisFormat, {}}},
    {"reserved3 not zero", [](Bytes* f) { (*f)[23] = 1; }, {SubjectStatus::kNotThisFormat, {}}},
    {"per-folder reserve of 8 after signing", [](Bytes* f) { (*f)[38] = 8; }, {SubjectStatus::kNotThisFormat, {}}},
    {"per-block reserve of 16 after signing", [](Bytes* f) { (*f)[39] = 16; }, {SubjectStatus::kNotThisFormat, {}}},
    {"descriptor's first field changed", [](Bytes* f) { PutLe32(f, 40, 0); }, {SubjectStatus::kNotThisFormat, {}}},
    {"descriptor's skipped zeros changed", [](Bytes* f) { (*f)[53] = 1; }, {SubjectStatus::kNotThisFormat, {}}},
    {"folder table not ending at the files", [](Bytes* f) { PutLe16(f, 26, 2); }, {SubjectStatus::kNotThisFormat, {}}},
    {"files starting past the signature",
     [](Bytes* f) { PutLe32(f, 16, 0x7FFFFFFF); },
     {SubjectStatus::kNotThisFormat, {}}},
    {"folder's data past the end", [](Bytes* f) { PutLe32(f, 60, 0xFFFFFF00); }, {SubjectStatus::kNotThisFormat, {}}},
    {"folder's data inside the header", [](Bytes* f) { PutLe32(f, 60, 8); }, {SubjectStatus::kNotThisFormat, {}}},
    {"a block running into the signature", [](Bytes* f) { PutLe16(f, 72, 9); }, {SubjectStatus::kNotThisFormat, {}}},
    {"more blocks than fit", [](Bytes* f) { PutLe16(f, 64, 0xFFFF); }, {SubjectStatus::kNotThisFormat, {}}},
    {"a previous cabinet flag without its names",
     [](Bytes* f) { PutLe16(f, 30, 0x0005); },
     {SubjectStatus::kNotThisFormat, {}}},
    {"a per-block reserve the blocks account for",
     [](Bytes* f) {
       (*f)[39] = 4;
       PutLe16(f, 72, 4);  // 4 bytes of reserve, then 4 of data
     },
     {SubjectStatus::kOk, SubjectStatus::kOk}},
    {"without a signature the header is not checked",
     [](Bytes* f) {
       (*f)[38] = 8;
       f->push_back(0);
     },
     {SubjectStatus::kOk, SubjectStatus::kNoSignature}},
};

TEST(Cabinet, DamagedHeadersAndLocators) {
  for (const DamageRow& row : kDamageRows) {
    Bytes file = SignedCabinet();
    row.change(&file);
    Outcome outcome = Read(file);
    EXPECT_EQ(outcome.layout, row.outcome.layout) << row.name;
    if (outcome.layout == SubjectStatus::kOk) {
      EXPECT_EQ(outcome.signature, row.outcome.signature) << row.name;
    }
  }
}

// A source of `size` bytes, all zero but for `head` at the start: a sparse
// file without the disk it would take.
class SparseSource final : public ByteSource {
 public:
  SparseSource(ByteView head, uint64_t size) : head_(head), size_(size) {}
  uint64_t size() const override { return size_; }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (!RangeInside(size_, offset, out.size())) return false;
    std::fill(out.begin(), out.end(), 0);
    for (uint64_t i = offset; i < head_.size() && i - offset < out.size(); ++i) out[i - offset] = head_[i];
    return true;
  }

 private:
  ByteView head_;
  uint64_t size_;
};

TEST(Cabinet, SignatureLargerThanTheLibraryReadsIsRefusedUnread) {
  Bytes head = SignedCabinet();
  const uint32_t size = static_cast<uint32_t>(kMaxSignatureSize + 1);
  PutLe32(&head, 48, size);
  SparseSource source(head, uint64_t{84} + size);
  CabinetLayout layout;
  ASSERT_EQ(ReadCabinetLayout(source, &layout), SubjectStatus::kOk);
  Bytes blob;
  EXPECT_EQ(ReadCabinetSignature(source, layout, &blob), SubjectStatus::kTooLarge);
  EXPECT_TRUE(blob.empty());
}

// The digest over the cabinet's bytes without reserved1 (4..7) and without
// iCabinet, the reserve sizes and the locator's first 16 bytes (34..55), up
// to the signature, computed here from the definition.
Bytes ExpectedDigest(const Bytes& file, const EVP_MD* md) {
  const uint32_t signatureOffset = *ReadLe32(file, 44);
  Bytes kept;
  for (uint64_t i = 0; i < signatureOffset; ++i) {
    if ((i >= 4 && i < 8) || (i >= 34 && i < 56)) continue;
    kept.push_back(file[i]);
  }
  return *Digest(md, kept);
}

TEST(Cabinet, DigestSkipsExactlyTheFieldsSigningChanges) {
  for (const EVP_MD* md : {EVP_sha1(), EVP_sha256()}) {
    Bytes file = SignedCabinet();
    for (uint64_t offset = 0; offset < file.size() - sizeof kSignature; ++offset) {
      Bytes changed = file;
      // The magic, the reserve size and the locator's offset and size must
      // stay, or there is no signed cabinet to hash.
      if (offset < 4 || offset == 36 || offset == 37 || (offset >= 44 && offset < 52)) continue;
      changed[offset] ^= 0x5A;
      MemorySource source(changed);
      CabinetLayout layout;
      const SubjectStatus read = ReadCabinetLayout(source, &layout);
      // Bytes of the structure the header check reads are refused there.
      if (read == SubjectStatus::kNotThisFormat) continue;
      ASSERT_EQ(read, SubjectStatus::kOk) << offset;
      Bytes blob;
      ASSERT_EQ(ReadCabinetSignature(source, layout, &blob), SubjectStatus::kOk) << offset;
      Bytes digest;
      ASSERT_EQ(ComputeCabinetDigest(source, layout, md, &digest), SubjectStatus::kOk);
      EXPECT_EQ(test_support::Hex(digest), test_support::Hex(ExpectedDigest(changed, md))) << "byte " << offset;
      const bool skipped = (offset >= 4 && offset < 8) || (offset >= 34 && offset < 56);
      EXPECT_EQ(test_support::Hex(digest) == test_support::Hex(ExpectedDigest(file, md)), skipped) << "byte " << offset;
    }
  }
}

TEST(Cabinet, NoByteTheDigestSkipsCanChangeButTheSetIndexAndTheLocator) {
  // The locator (44..51) finds the signature, whose own checks then stand
  // for it; iCabinet (34, 35) numbers the cabinet in its set and changes no
  // reading of this one.
  for (uint64_t offset = 4; offset < 56; ++offset) {
    if (offset >= 8 && offset < 36) offset = 36;
    if (offset >= 44 && offset < 52) continue;
    Bytes file = SignedCabinet();
    file[offset] ^= 0x5A;
    const Outcome outcome = Read(file);
    EXPECT_TRUE(outcome.layout == SubjectStatus::kNotThisFormat || outcome.signature == SubjectStatus::kNoSignature)
        << "byte " << offset;
  }
}

using test_support::HostileInputTest;

TEST_F(HostileInputTest, CabinetSignatureLargerThanTheLibraryReads) {
  // A sparse cabinet whose locator claims more than kMaxSignatureSize at its
  // end: refused before anything is read or allocated for it.
  Bytes head = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/cab-rsa-sha256.cab");
  const uint32_t offset = *ReadLe32(head, 44);
  const uint64_t size = kMaxSignatureSize + 16;
  PutLe32(&head, 48, static_cast<uint32_t>(size));
  head.resize(offset);
  std::string path = dir_ + "/oversized.cab";
  test_support::WriteWholeFile(path, head);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(offset + size)), 0);
  EXPECT_EQ(VerifyPath(path), CRYPT_E_ASN1_LARGE);
}

}  // namespace
}  // namespace wintrust
