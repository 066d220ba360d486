// Hostile PE images: headers and certificate tables that lie, each verified
// from a real file with the exact status it must give.
#include <gtest/gtest.h>
#include <unistd.h>

#include "wintrust/subject/subject.h"
#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

TEST_F(HostileInputTest, TooShortForAnyHeader) {
  EXPECT_EQ(VerifyBytes(ByteView{}), TRUST_E_SUBJECT_FORM_UNKNOWN) << "zero bytes";
  const uint8_t one[] = {'M'};
  EXPECT_EQ(VerifyBytes(one), TRUST_E_SUBJECT_FORM_UNKNOWN) << "one byte";
  const uint8_t mz[] = {'M', 'Z'};
  EXPECT_EQ(VerifyBytes(mz), TRUST_E_SUBJECT_FORM_UNKNOWN) << "\"MZ\" only";
}

TEST_F(HostileInputTest, HeaderAndDirectoryFieldsThatLie) {
  const uint32_t size = static_cast<uint32_t>(signed_.size());
  const uint64_t sections = image_.checksumOffset - 64 - 20 + 2;
  const uint64_t directory = image_.securityEntryOffset;
  const uint32_t table = image_.certTableSize;
  const FieldCase<HRESULT> cases[] = {
      {"NT headers at the end", 0x3C, size, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"NT headers in the last 4 bytes", 0x3C, size - 4, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"NT headers at 2 GiB", 0x3C, 0x80000000, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"NT headers at 0xFFFFFFFF", 0x3C, 0xFFFFFFFF, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"NT headers at 0xFFFFFFFC", 0x3C, 0xFFFFFFFC, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"65535 sections, far past the end", sections, 0xFFFF, 2, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"the certificate table at the end", directory, size, 4, TRUST_E_NOSIGNATURE},
      {"the certificate table past the end", directory, size + 8, 4, TRUST_E_NOSIGNATURE},
      {"the certificate table at 0xFFFFFFF8", directory, 0xFFFFFFF8, 4, TRUST_E_NOSIGNATURE},
      {"the table's size reaching past the end", directory + 4, table + 8, 4, TRUST_E_NOSIGNATURE},
      {"the table's size 0", directory + 4, 0, 4, TRUST_E_NOSIGNATURE},
      {"an entry a byte longer than the table", image_.certTableOffset, table + 1, 4, TRUST_E_NOSIGNATURE},
      {"an entry 8 bytes longer than the table", image_.certTableOffset, table + 8, 4, TRUST_E_NOSIGNATURE},
      {"an entry of 0xFFFFFFFF bytes", image_.certTableOffset, 0xFFFFFFFF, 4, TRUST_E_NOSIGNATURE},
      {"an entry shorter than its header", image_.certTableOffset, 4, 4, TRUST_E_NOSIGNATURE},
  };
  for (const FieldCase<HRESULT>& c : cases) {
    Bytes file = signed_;
    PutField(&file, c.offset, c.value, c.width);
    EXPECT_EQ(VerifyBytes(file), c.status) << c.what;
  }
  Bytes cut(signed_.begin(), signed_.begin() + static_cast<long>(image_.headersEnd - 1));
  EXPECT_EQ(VerifyBytes(cut), TRUST_E_SUBJECT_FORM_UNKNOWN) << "cut inside the section table";
}

// The table's offset and size moved together: onto the headers, or to the
// file's last bytes, too few for one 8-byte WIN_CERTIFICATE header.
TEST_F(HostileInputTest, CertificateTableOverlappingTheHeadersOrBelowOneEntry) {
  for (uint64_t offset : {uint64_t{0x40}, image_.securityEntryOffset, image_.headersEnd - 8, signed_.size() - 1,
                          signed_.size() - 4, signed_.size() - 7}) {
    Bytes file = signed_;
    PutLe32(&file, image_.securityEntryOffset, static_cast<uint32_t>(offset));
    PutLe32(&file, image_.securityEntryOffset + 4, static_cast<uint32_t>(file.size() - offset));
    EXPECT_EQ(VerifyBytes(file), TRUST_E_NOSIGNATURE) << std::hex << offset;
  }
}

TEST_F(HostileInputTest, EntryLargerThanTheLibraryReads) {
  // A sparse file whose only entry claims more than kMaxSignatureSize: it is
  // refused before anything is read or allocated for it.
  Bytes head(signed_.begin(), signed_.begin() + image_.certTableOffset);
  const uint64_t entryLength = kMaxSignatureSize + 16;
  PutLe32(&head, image_.securityEntryOffset + 4, static_cast<uint32_t>(entryLength));
  Bytes header(8);
  PutLe32(&header, 0, static_cast<uint32_t>(entryLength));
  PutLe16(&header, 4, 0x0200);
  PutLe16(&header, 6, 0x0002);
  head.insert(head.end(), header.begin(), header.end());
  std::string path = dir_ + "/oversized.exe";
  test_support::WriteWholeFile(path, head);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(image_.certTableOffset + entryLength)), 0);
  EXPECT_EQ(VerifyPath(path), CRYPT_E_ASN1_LARGE);
}

}  // namespace
}  // namespace wintrust::test_support
