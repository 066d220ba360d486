#include "wintrust/pe/pe_image.h"

#include <gtest/gtest.h>

#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

using test_support::BuildPe;
using test_support::WinCertificate;

const uint8_t kBlob[] = {0x30, 0x03, 0x02, 0x01, 0x01};

Bytes PkcsTable() {
  return WinCertificate(0x0200, 0x0002, kBlob);
}

PeStatus Find(const Bytes& file, SignatureBlob* blob) {
  PeImage image;
  PeStatus status = ParsePeHeaders(file, &image);
  if (status != PeStatus::kOk) return status;
  return FindPkcs7Signature(MemorySource(file), image, blob);
}

ByteView View(const SignatureBlob& blob) {
  return blob.bytes;
}

TEST(PeImage, ReadsPe32AndPe32PlusHeaders) {
  for (bool plus : {false, true}) {
    test_support::SyntheticPe pe = BuildPe(plus, PkcsTable());
    PeImage image;
    ASSERT_EQ(ParsePeHeaders(pe.bytes, &image), PeStatus::kOk);
    EXPECT_EQ(image.pe32Plus, plus);
    EXPECT_EQ(image.checksumOffset, pe.optionalHeader + 64);
    EXPECT_EQ(image.securityEntryOffset, pe.securityEntry);
    EXPECT_EQ(image.securityEntryOffset, pe.optionalHeader + (plus ? 144u : 128u));
    EXPECT_EQ(image.certTableOffset, pe.tableOffset);
    SignatureBlob blob;
    ASSERT_EQ(FindPkcs7Signature(MemorySource(pe.bytes), image, &blob), PeStatus::kOk);
    EXPECT_EQ(blob.offset, pe.tableOffset + 8);
    ASSERT_GE(blob.bytes.size(), sizeof kBlob);
    EXPECT_TRUE(SameBytes(View(blob).subspan(0, sizeof kBlob), kBlob));
  }
}

TEST(PeImage, NotPeImages) {
  PeImage image;
  EXPECT_EQ(ParsePeHeaders(ByteView{}, &image), PeStatus::kNotPe);
  const uint8_t text[] = "plain text that is long enough to have an e_lfanew field at 0x3c..";
  EXPECT_EQ(ParsePeHeaders(ByteView(text, sizeof text), &image), PeStatus::kNotPe);

  Bytes good = BuildPe(true, PkcsTable()).bytes;
  Bytes noMz = good;
  noMz[0] = 'N';
  EXPECT_EQ(ParsePeHeaders(noMz, &image), PeStatus::kNotPe);
  Bytes badSignature = good;
  badSignature[0x81] = 'X';
  EXPECT_EQ(ParsePeHeaders(badSignature, &image), PeStatus::kNotPe);
  Bytes farLfanew = good;
  PutLe32(&farLfanew, 0x3C, 0xFFFFFFF0u);
  EXPECT_EQ(ParsePeHeaders(farLfanew, &image), PeStatus::kNotPe);
  Bytes romMagic = good;
  PutLe16(&romMagic, 0x98, 0x107);
  EXPECT_EQ(ParsePeHeaders(romMagic, &image), PeStatus::kNotPe);
  Bytes tinyOptional = good;
  PutLe16(&tinyOptional, 0x84 + 16, 64);
  EXPECT_EQ(ParsePeHeaders(tinyOptional, &image), PeStatus::kNotPe);
  Bytes manySections = good;
  PutLe16(&manySections, 0x84 + 2, 0xFFFF);
  EXPECT_EQ(ParsePeHeaders(manySections, &image), PeStatus::kNotPe);
  // Cut anywhere inside the headers.
  for (size_t size : {size_t{2}, size_t{0x3E}, size_t{0x83}, size_t{0x98}, size_t{0x120}}) {
    Bytes cut(good.begin(), good.begin() + static_cast<long>(size));
    EXPECT_EQ(ParsePeHeaders(cut, &image), PeStatus::kNotPe) << size;
  }
}

TEST(PeImage, NoCertificateDirectory) {
  SignatureBlob blob;
  EXPECT_EQ(Find(BuildPe(false, {}).bytes, &blob), PeStatus::kNoSignature);
  Bytes fewDirectories = BuildPe(false, PkcsTable()).bytes;
  PutLe32(&fewDirectories, 0x98 + 92, 4);
  EXPECT_EQ(Find(fewDirectories, &blob), PeStatus::kNoSignature);
}

TEST(PeImage, TableMustEndAtEndOfFile) {
  SignatureBlob blob;
  test_support::SyntheticPe pe = BuildPe(true, PkcsTable());
  Bytes appended = pe.bytes;
  appended.push_back(0);
  EXPECT_EQ(Find(appended, &blob), PeStatus::kNoSignature);
  Bytes truncated(pe.bytes.begin(), pe.bytes.end() - 1);
  EXPECT_EQ(Find(truncated, &blob), PeStatus::kNoSignature);
  Bytes shrunk = pe.bytes;
  PutLe32(&shrunk, pe.securityEntry + 4, static_cast<uint32_t>(PkcsTable().size() - 8));
  EXPECT_EQ(Find(shrunk, &blob), PeStatus::kNoSignature);
  // Offset plus size past 4 GiB: computed in 64 bits, never wrapped.
  Bytes wrapping = pe.bytes;
  PutLe32(&wrapping, pe.securityEntry, 0xFFFFFFF0u);
  PutLe32(&wrapping, pe.securityEntry + 4, 0x20u);
  EXPECT_EQ(Find(wrapping, &blob), PeStatus::kNoSignature);
  Bytes inHeaders = pe.bytes;
  PutLe32(&inHeaders, pe.securityEntry, 0x10);
  PutLe32(&inHeaders, pe.securityEntry + 4, static_cast<uint32_t>(inHeaders.size() - 0x10));
  EXPECT_EQ(Find(inHeaders, &blob), PeStatus::kNoSignature);
}

TEST(PeImage, MalformedEntries) {
  SignatureBlob blob;
  Bytes shortLength = PkcsTable();
  PutLe32(&shortLength, 0, 4);
  EXPECT_EQ(Find(BuildPe(true, shortLength).bytes, &blob), PeStatus::kNoSignature);
  Bytes longLength = PkcsTable();
  PutLe32(&longLength, 0, 0x1000);
  EXPECT_EQ(Find(BuildPe(true, longLength).bytes, &blob), PeStatus::kNoSignature);
  EXPECT_EQ(Find(BuildPe(true, WinCertificate(0x0100, 0x0002, kBlob)).bytes, &blob), PeStatus::kNoSignature)
      << "revision 1.0 is not accepted";
  EXPECT_EQ(Find(BuildPe(true, WinCertificate(0x0200, 0x0001, kBlob)).bytes, &blob), PeStatus::kNoSignature)
      << "an X.509 entry is not a PKCS#7 signature";
}

TEST(PeImage, FirstPkcs7EntryAfterOthers) {
  Bytes table = WinCertificate(0x0200, 0x0001, kBlob);
  Bytes second = PkcsTable();
  table.insert(table.end(), second.begin(), second.end());
  Bytes third = WinCertificate(0x0200, 0x0002, ByteView(kBlob, 2));
  table.insert(table.end(), third.begin(), third.end());
  SignatureBlob blob;
  test_support::SyntheticPe pe = BuildPe(true, table);  // outlives the view
  ASSERT_EQ(Find(pe.bytes, &blob), PeStatus::kOk);
  EXPECT_TRUE(SameBytes(View(blob).subspan(0, sizeof kBlob), kBlob));
}

}  // namespace
}  // namespace wintrust
