#include "check/file_digest.h"

#include <gtest/gtest.h>

namespace {

// A file whose size the system cannot say (here: no file behind the handle,
// so the size query fails as it does for a handle the system refuses) is
// a failed read: never the digest of an empty file.
TEST(FileDigest, AFileWhoseSizeCannotBeHadIsAFailedRead) {
  const platform::File noFile;
  FileDigest digest;
  digest.size = 7;
  EXPECT_FALSE(DigestWholeFile(noFile, &digest));
  EXPECT_EQ(digest.size, 7u);
  EXPECT_EQ(digest.text[0], 0);
}

}  // namespace
