// A file that shrinks during the verification: every read that fails or
// comes up short, in every format, is ERROR_READ_FAULT.
#include <gtest/gtest.h>
#include <unistd.h>

#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

// Each signed fixture with the least number of reads its verification makes.
TEST_F(HostileInputTest, EveryReadThatComesUpShortIsAReadFault) {
  const std::pair<const char*, size_t> files[] = {
      {"pe64-rsa-sha256.exe", 5},  // headers, entry header, blob and the digest's reads
      {"cab-rsa-sha256.cab", 4},   // detection, header, signature and digest
      {"ps1-utf8-sha256.ps1", 4},
      {"ps1-utf16-sha256.ps1", 4},
      {"msi-rsa-sha256.msi", 4},
      {"msi-ex-sha1.msi", 4},
      {"cat-pkcs7-sha256.cat", 3},  // detection, headers and the file, hashed from the
                                    // signature
      {"cat-cms-sha256.cat", 3},
  };
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  for (const auto& [name, leastReads] : files) {
    Bytes file = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/" + name);
    size_t failAt = 0;
    for (;; ++failAt) {
      ASSERT_LT(failAt, 100u) << name;
      WINTRUST_DATA request{};
      TrustState state(&request, action);
      FailingSource source(file, failAt);
      HRESULT status = VerifySource(source, name, &state);
      if (source.reads() <= failAt) {
        EXPECT_EQ(status, 0) << name << ": no read failed";
        break;
      }
      EXPECT_EQ(status, kErrorReadFault) << name << ": read " << failAt << " failed";
    }
    EXPECT_GE(failAt, leastReads) << name;
  }
}

TEST_F(HostileInputTest, FileTruncatedAfterOpeningIsAReadFault) {
  // The file shrinks between the open and the reads, the way another
  // process could truncate it: no SIGBUS, a status.
  for (uint64_t keep : {uint64_t{0}, image_.headersEnd / 2, image_.headersEnd + 16,
                        uint64_t{image_.certTableOffset} + 4, uint64_t{image_.certTableOffset} + 100}) {
    std::string path = dir_ + "/shrinking.exe";
    test_support::WriteWholeFile(path, signed_);
    FileOpenError error;
    std::unique_ptr<FileSource> file = FileSource::Open(path, &error);
    ASSERT_TRUE(file);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(keep)), 0);
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA request{};
    TrustState state(&request, action);
    EXPECT_EQ(VerifySource(*file, "", &state), kErrorReadFault) << "cut to " << keep;
  }
}

}  // namespace
}  // namespace wintrust::test_support
