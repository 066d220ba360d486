#include "wintrust/mapped_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "wintrust/test_support.h"

namespace wintrust {
namespace {

TEST(Utf16PathToBytes, EncodesUtf8) {
  EXPECT_EQ(Utf16PathToBytes(u"/tmp/a.exe"), "/tmp/a.exe");
  EXPECT_EQ(Utf16PathToBytes(u"/t\u00e9st/\u20ac"), "/t\xc3\xa9st/\xe2\x82\xac");
  // A surrogate pair: U+1F600.
  EXPECT_EQ(Utf16PathToBytes(u"/\U0001F600"), "/\xf0\x9f\x98\x80");
}

TEST(Utf16PathToBytes, EscapedBytesComeBackRaw) {
  const char16_t escaped[] = {u'/', 0xDCFF, 0xDC80, u'x', 0};
  EXPECT_EQ(Utf16PathToBytes(escaped), std::string("/\xff\x80x"));
}

TEST(Utf16PathToBytes, RejectsWhatNamesNoFile) {
  EXPECT_FALSE(Utf16PathToBytes(nullptr));
  EXPECT_FALSE(Utf16PathToBytes(u""));
  const char16_t loneHigh[] = {u'/', 0xD800, u'x', 0};
  EXPECT_FALSE(Utf16PathToBytes(loneHigh));
  const char16_t highAtEnd[] = {u'/', 0xD800, 0};
  EXPECT_FALSE(Utf16PathToBytes(highAtEnd));
  const char16_t lowNotEscape[] = {u'/', 0xDC41, 0};
  EXPECT_FALSE(Utf16PathToBytes(lowNotEscape));
}

class MappedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wintrust-mapped-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string output;
    testing::RunCommand("rm -rf " + testing::ShellQuote(dir_), &output);
  }
  std::string dir_;
};

TEST_F(MappedFileTest, MapsContentAndEmptyFiles) {
  const uint8_t content[] = {'M', 'Z', 0, 1, 2};
  testing::WriteWholeFile(dir_ + "/f", content);
  FileOpenError error;
  auto file = MappedFile::Open(dir_ + "/f", &error);
  ASSERT_TRUE(file);
  EXPECT_EQ(error, FileOpenError::kNone);
  ASSERT_EQ(file->bytes().size(), 5u);
  EXPECT_EQ(file->bytes()[4], 2);
  file->AdviseSequential(0, 5);
  file->AdviseSequential(3, 100);  // outside: ignored, not a crash

  testing::WriteWholeFile(dir_ + "/empty", ByteView{});
  auto empty = MappedFile::Open(dir_ + "/empty", &error);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->bytes().empty());
}

TEST_F(MappedFileTest, ReportsWhyItCannotOpen) {
  FileOpenError error;
  EXPECT_FALSE(MappedFile::Open(dir_ + "/missing", &error));
  EXPECT_EQ(error, FileOpenError::kNotFound);
  EXPECT_FALSE(MappedFile::Open(dir_, &error));
  EXPECT_EQ(error, FileOpenError::kNotRegular);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  // Opening a FIFO without a writer must neither block nor succeed.
  EXPECT_FALSE(MappedFile::Open(dir_ + "/fifo", &error));
  EXPECT_EQ(error, FileOpenError::kNotRegular);
  if (geteuid() != 0) {
    testing::WriteWholeFile(dir_ + "/secret", ByteView{});
    chmod((dir_ + "/secret").c_str(), 0);
    EXPECT_FALSE(MappedFile::Open(dir_ + "/secret", &error));
    EXPECT_EQ(error, FileOpenError::kAccessDenied);
  }
}

}  // namespace
}  // namespace wintrust
