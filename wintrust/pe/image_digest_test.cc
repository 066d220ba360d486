#include "wintrust/pe/image_digest.h"
#include "wintrust/signature/digest_policy.h"

#include <gtest/gtest.h>

#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

const uint8_t kBlob[] = {0x30, 0x03, 0x02, 0x01, 0x01};

std::string ImageDigest(const Bytes& file, const EVP_MD* md) {
  PeImage image;
  EXPECT_EQ(ParsePeHeaders(file, &image), PeStatus::kOk);
  auto digest = ComputeImageDigest(file, image, md);
  EXPECT_TRUE(digest);
  return digest ? test_support::Hex(*digest) : std::string();
}

TEST(AuthenticodeDigest, KnowsTheFourAlgorithms) {
  const uint8_t sha1[] = {0x2B, 0x0E, 0x03, 0x02, 0x1A};
  const uint8_t sha256[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
  const uint8_t sha512[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};
  const uint8_t md5[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05};
  EXPECT_EQ(EVP_MD_get_type(DigestForOid(sha1)), NID_sha1);
  EXPECT_EQ(EVP_MD_get_type(DigestForOid(sha256)), NID_sha256);
  EXPECT_EQ(EVP_MD_get_type(DigestForOid(sha512)), NID_sha512);
  EXPECT_EQ(DigestForOid(md5), nullptr);
  EXPECT_EQ(DigestForOid(ByteView{}), nullptr);
}

TEST(AuthenticodeDigest, EqualsHashOfTheIncludedRanges) {
  for (bool plus : {false, true}) {
    test_support::SyntheticPe pe = test_support::BuildPe(plus, test_support::WinCertificate(0x0200, 0x0002, kBlob));
    // The reference: the file with the three excluded ranges cut out.
    Bytes included;
    const Bytes& b = pe.bytes;
    const uint64_t checksum = pe.optionalHeader + 64;
    included.insert(included.end(), b.begin(), b.begin() + static_cast<long>(checksum));
    included.insert(included.end(), b.begin() + static_cast<long>(checksum + 4),
                    b.begin() + static_cast<long>(pe.securityEntry));
    included.insert(included.end(), b.begin() + static_cast<long>(pe.securityEntry + 8),
                    b.begin() + static_cast<long>(pe.tableOffset));
    auto expected = Digest(EVP_sha256(), included);
    ASSERT_TRUE(expected);
    EXPECT_EQ(ImageDigest(b, EVP_sha256()), test_support::Hex(*expected));
  }
}

TEST(AuthenticodeDigest, IgnoresOnlyTheExcludedFields) {
  test_support::SyntheticPe pe = test_support::BuildPe(true, test_support::WinCertificate(0x0200, 0x0002, kBlob));
  const std::string base = ImageDigest(pe.bytes, EVP_sha1());

  Bytes checksum = pe.bytes;
  checksum[pe.optionalHeader + 64] ^= 0xFF;
  checksum[pe.optionalHeader + 67] ^= 0xFF;
  EXPECT_EQ(ImageDigest(checksum, EVP_sha1()), base);

  Bytes table = pe.bytes;
  table.back() ^= 0xFF;  // padding inside the certificate table
  EXPECT_EQ(ImageDigest(table, EVP_sha1()), base);

  for (uint64_t offset : {uint64_t{2}, pe.optionalHeader + 63, pe.optionalHeader + 68, pe.securityEntry - 1,
                          pe.securityEntry + 8, uint64_t{0x3FF}}) {
    Bytes changed = pe.bytes;
    changed[offset] ^= 0x01;
    EXPECT_NE(ImageDigest(changed, EVP_sha1()), base) << "offset " << offset;
  }
}

}  // namespace
}  // namespace wintrust
