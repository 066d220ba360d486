#include "wintrust/base/file_source.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "wintrust/testing/test_support.h"

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

class FileSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wintrust-source-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string output;
    test_support::RunCommand("rm -rf " + test_support::ShellQuote(dir_), &output);
  }
  std::string dir_;
};

TEST_F(FileSourceTest, ReadsContentAndEmptyFiles) {
  const uint8_t content[] = {'M', 'Z', 0, 1, 2};
  test_support::WriteWholeFile(dir_ + "/f", content);
  FileOpenError error;
  auto file = FileSource::Open(dir_ + "/f", &error);
  ASSERT_TRUE(file);
  EXPECT_EQ(error, FileOpenError::kNone);
  ASSERT_EQ(file->size(), 5u);
  uint8_t out[3] = {};
  ASSERT_TRUE(file->Read(2, out));
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[2], 2);
  EXPECT_TRUE(file->Read(5, std::span<uint8_t>()));
  EXPECT_FALSE(file->Read(3, out)) << "a range past the end is refused";
  EXPECT_FALSE(file->Read(UINT64_MAX, out)) << "an offset that would wrap is refused";
  file->AdviseSequential(0, 5);
  file->AdviseSequential(3, 100);  // outside: ignored, not a crash

  test_support::WriteWholeFile(dir_ + "/empty", ByteView{});
  auto empty = FileSource::Open(dir_ + "/empty", &error);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 0u);
  EXPECT_FALSE(empty->Read(0, out));
}

TEST_F(FileSourceTest, ReadOfAFileThatShrankFails) {
  Bytes content(100000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
  test_support::WriteWholeFile(dir_ + "/f", content);
  FileOpenError error;
  auto file = FileSource::Open(dir_ + "/f", &error);
  ASSERT_TRUE(file);
  ASSERT_EQ(truncate((dir_ + "/f").c_str(), 40000), 0);
  EXPECT_EQ(file->size(), 100000u) << "the size is the one seen at open";
  Bytes out(1000);
  EXPECT_TRUE(file->Read(39000, out)) << "what is left still reads";
  EXPECT_EQ(out[999], static_cast<uint8_t>(39999));
  EXPECT_FALSE(file->Read(39500, out)) << "a read crossing the new end comes up short";
  EXPECT_FALSE(file->Read(60000, out)) << "a read past the new end finds nothing";
}

TEST(MemorySource, ReadsInsideOnly) {
  const uint8_t content[] = {1, 2, 3, 4};
  MemorySource source(content);
  uint8_t out[2] = {};
  ASSERT_TRUE(source.Read(2, out));
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[1], 4);
  EXPECT_FALSE(source.Read(3, out));
  EXPECT_FALSE(source.Read(UINT64_MAX - 1, out));
  EXPECT_TRUE(MemorySource(ByteView{}).Read(0, std::span<uint8_t>()));
}

TEST_F(FileSourceTest, ReportsWhyItCannotOpen) {
  FileOpenError error;
  EXPECT_FALSE(FileSource::Open(dir_ + "/missing", &error));
  EXPECT_EQ(error, FileOpenError::kNotFound);
  EXPECT_FALSE(FileSource::Open(dir_, &error));
  EXPECT_EQ(error, FileOpenError::kNotRegular);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  // Opening a FIFO without a writer must neither block nor succeed.
  EXPECT_FALSE(FileSource::Open(dir_ + "/fifo", &error));
  EXPECT_EQ(error, FileOpenError::kNotRegular);
  if (geteuid() != 0) {
    test_support::WriteWholeFile(dir_ + "/secret", ByteView{});
    chmod((dir_ + "/secret").c_str(), 0);
    EXPECT_FALSE(FileSource::Open(dir_ + "/secret", &error));
    EXPECT_EQ(error, FileOpenError::kAccessDenied);
  }
}

}  // namespace
}  // namespace wintrust
