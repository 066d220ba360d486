// Hostile APPX packages: one field of the ZIP structure changed at a time,
// each verified with the exact status it must give.
#include <gtest/gtest.h>

#include <algorithm>

#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

// The offset of the central directory record of `name` in a package: the
// name's last appearance is in the directory, which follows every file.
uint64_t DirectoryRecord(const Bytes& package, std::string_view name) {
  auto found = std::find_end(package.begin(), package.end(), name.begin(), name.end());
  EXPECT_NE(found, package.end()) << name;
  return static_cast<uint64_t>(found - package.begin()) - 46;
}

TEST_F(HostileInputTest, PackageZipStructureDamaged) {
  const Bytes good = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/appx-rsa-sha256.appx");
  ASSERT_EQ(VerifyBytes(good), 0);
  const uint64_t end = good.size() - 22;  // the end record, without a comment
  const uint64_t blockMap = DirectoryRecord(good, "AppxBlockMap.xml");
  const uint64_t signature = DirectoryRecord(good, "AppxSignature.p7x");
  const uint64_t readme = DirectoryRecord(good, "readme.txt");
  const FieldCase<HRESULT> cases[] = {
      {"the directory's offset past the end", end + 16, 0x7FFFFFF0, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"more entries than the directory holds", end + 8, 0x0707, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"ZIP64 marks without a ZIP64 record", end + 8, 0xFFFFFFFF, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"a comment longer than the file", end + 20, 0x1000, 2, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"a second disk", end + 4, 1, 2, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"no block map: an ordinary ZIP", blockMap + 46 + 15, 'z', 1, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"a name as long as the format allows", readme + 28, 0xFFFF, 2, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"a local header past the directory", readme + 42, 0x7FFFFFF0, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"a compression method no package uses", readme + 10, 12, 2, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"the block map longer than its local header says", blockMap + 24, 0x00100000, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"a stored file whose sizes differ from its local header's", readme + 24, 70, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"a file's data running over the next file's", readme + 20, 0x800, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"the signature's record at another file's", signature + 42, 0, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"the signature over its local header's size", signature + 24, 0x7FFFFFFF, 4, TRUST_E_SUBJECT_FORM_UNKNOWN},
  };
  for (const FieldCase<HRESULT>& c : cases) {
    Bytes file = good;
    PutField(&file, c.offset, c.value, c.width);
    EXPECT_EQ(VerifyBytes(file), c.status) << c.what;
  }
  EXPECT_EQ(VerifyBytes(ByteView(good).first(good.size() - 1)), TRUST_E_SUBJECT_FORM_UNKNOWN) << "cut by a byte";
  Bytes renamed = good;
  renamed[signature + 46] = 'X';
  EXPECT_EQ(VerifyBytes(renamed), TRUST_E_SUBJECT_FORM_UNKNOWN)
      << "the signature under another name than its local header's";
}

}  // namespace
}  // namespace wintrust::test_support
