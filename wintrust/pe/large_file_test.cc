// Files larger than 4 GiB: the offsets are 64-bit, the file is mapped, not
// read into memory. Sparse files keep the disk cost low, except for the one
// osslsigncode signs, which it writes out in full. These tests run as their
// own ctest entry (wintrust_large_file).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "wintrust/pe/pe_image.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

class LargeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
    const char* scratch = std::getenv("WINTRUST_SCRATCH");
    dir_ = scratch != nullptr ? scratch : "/tmp";
    mkdir(dir_.c_str(), 0755);
    signed_ = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/pe64-rsa-sha256.exe");
    ASSERT_EQ(ParsePeHeaders(signed_, &image_), PeStatus::kOk);
  }
  void TearDown() override {
    for (const std::string& path : created_) std::remove(path.c_str());
  }
  // Writes `head`, then a hole up to `holeEnd`, then `tail`.
  std::string MakeSparse(const std::string& name, ByteView head, uint64_t holeEnd, ByteView tail) {
    std::string path = dir_ + "/" + name;
    created_.push_back(path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    EXPECT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(holeEnd)), static_cast<ssize_t>(tail.size()));
    close(fd);
    return path;
  }
  std::string dir_;
  Bytes signed_;
  PeImage image_;
  std::vector<std::string> created_;
};

TEST_F(LargeFile, SignatureFollowedByGigabytesIsNoSignature) {
  const uint8_t last[] = {0};
  std::string path = MakeSparse("appended-5g.exe", signed_, k4GiB + k4GiB / 4, last);
  EXPECT_EQ(test_support::VerifyThroughLibrary(path).status, TRUST_E_NOSIGNATURE);
}

TEST_F(LargeFile, TableBeyond4GiBIsHashedUpToIt) {
  // The signed file's own table moved to end just past 4 GiB, with a hole
  // before it: every byte up to the table is hashed (4 GiB of zeros), which
  // no longer matches the signed digest.
  uint64_t tableSize = signed_.size() - image_.certTableOffset;
  ASSERT_GT(tableSize, 0x400u);
  uint64_t newOffset = k4GiB - 0x400;
  Bytes head(signed_.begin(), signed_.begin() + static_cast<long>(image_.certTableOffset));
  PutLe32(&head, image_.securityEntryOffset, static_cast<uint32_t>(newOffset));
  ByteView table(signed_.data() + image_.certTableOffset, tableSize);
  std::string path = MakeSparse("table-past-4g.exe", head, newOffset, table);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  ASSERT_GT(static_cast<uint64_t>(info.st_size), k4GiB);
  EXPECT_EQ(test_support::VerifyThroughLibrary(path).status, TRUST_E_BAD_DIGEST);
}

TEST_F(LargeFile, SignedFileLargerThan4GiBVerifies) {
  // osslsigncode signs a PE that ends 1 KiB short of 4 GiB; its signature
  // then takes the file past 4 GiB.
  Bytes program = test_support::ReadWholeFile(test_support::FixtureDir() + "/programs/hello64.exe");
  const uint8_t zero[] = {0};
  std::string unsignedPath = MakeSparse("large-unsigned.exe", program, k4GiB - 0x401, zero);
  std::string signedPath = dir_ + "/large-signed.exe";
  created_.push_back(signedPath);
  std::string pki = test_support::FixtureDir() + "/pki/sha256/";
  std::string output;
  ASSERT_EQ(test_support::RunCommand(
                "osslsigncode sign -h sha256 -certs " + test_support::ShellQuote(pki + "leaf-rsa-chain.pem") +
                    " -key " + test_support::ShellQuote(pki + "leaf-rsa.key") + " -in " +
                    test_support::ShellQuote(unsignedPath) + " -out " + test_support::ShellQuote(signedPath),
                &output),
            0)
      << output;
  std::remove(unsignedPath.c_str());
  struct stat info;
  ASSERT_EQ(stat(signedPath.c_str(), &info), 0);
  ASSERT_GT(static_cast<uint64_t>(info.st_size), k4GiB);
  test_support::LibraryVerdict verdict = test_support::VerifyThroughLibrary(signedPath);
  EXPECT_EQ(verdict.status, 0);
  std::string leafKey;
  for (const auto& entry : test_support::LoadManifest()) {
    if (entry.file == "files/pe64-rsa-sha256.exe") leafKey = entry.keySha1;
  }
  EXPECT_EQ(verdict.keySha1, leafKey);
}

}  // namespace
}  // namespace wintrust
