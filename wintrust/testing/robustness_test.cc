// Damaged inputs must give a status, never a crash or a read outside the
// file: every prefix of a signed file, every single-byte change of its
// headers and signature, and seeded random edits. Run under AddressSanitizer
// (SIGREPORT_SANITIZE) this also proves every read stays in bounds.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "wintrust/pe/pe_image.h"
#include "wintrust/testing/test_support.h"
#include "wintrust/verifier/verifier.h"

namespace wintrust {
namespace {

const std::set<HRESULT> kPossible = {0,
                                     TRUST_E_SUBJECT_FORM_UNKNOWN,
                                     TRUST_E_NOSIGNATURE,
                                     TRUST_E_BAD_DIGEST,
                                     CERT_E_UNTRUSTEDROOT,
                                     CERT_E_CHAINING,
                                     CERT_E_EXPIRED,
                                     CERT_E_WRONG_USAGE,
                                     CERT_E_CRITICAL,
                                     TRUST_E_CERT_SIGNATURE,
                                     TRUST_E_NO_SIGNER_CERT,
                                     TRUST_E_BASIC_CONSTRAINTS,
                                     NTE_BAD_ALGID,
                                     CRYPT_E_ASN1_BADTAG,
                                     CRYPT_E_ASN1_EOD};

HRESULT Verify(ByteView bytes) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_DATA request{};
  TrustState state(&request, action);
  // A copy of exactly the bytes under test, so a read past them is caught.
  Bytes copy(bytes.begin(), bytes.end());
  return VerifyImage(copy, "", &state);
}

class RobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
    file_ = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/pe64-rsa-sha256.exe");
    ASSERT_GT(file_.size(), 4096u);
    ASSERT_EQ(ParsePeHeaders(file_, &image_), PeStatus::kOk);
    ASSERT_EQ(Verify(file_), 0);
  }
  Bytes file_;
  PeImage image_;
};

TEST_F(RobustnessTest, EveryPrefixIsRefused) {
  for (size_t size = 0; size < file_.size(); ++size) {
    HRESULT status = Verify(ByteView(file_.data(), size));
    HRESULT expected = size < image_.headersEnd ? TRUST_E_SUBJECT_FORM_UNKNOWN : TRUST_E_NOSIGNATURE;
    ASSERT_EQ(status, expected) << "prefix of " << size << " bytes";
  }
}

TEST_F(RobustnessTest, EverySignatureByteChanged) {
  size_t accepted = 0;
  for (size_t offset = image_.certTableOffset; offset < file_.size(); ++offset) {
    Bytes changed = file_;
    changed[offset] ^= 0x5A;
    HRESULT status = Verify(changed);
    ASSERT_TRUE(kPossible.count(status)) << std::hex << status << " at " << offset;
    if (status == 0) ++accepted;
  }
  // Only bytes no check covers (padding, unused DER fields, the unused
  // digestAlgorithms set) may change without effect; the signed parts cannot.
  EXPECT_LT(accepted, (file_.size() - image_.certTableOffset) / 10);
}

TEST_F(RobustnessTest, EveryHeaderByteChanged) {
  for (size_t offset = 0; offset < image_.headersEnd; ++offset) {
    for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      Bytes changed = file_;
      changed[offset] ^= mask;
      HRESULT status = Verify(changed);
      ASSERT_TRUE(kPossible.count(status)) << std::hex << status << " at " << offset;
      bool excluded = (offset >= image_.checksumOffset && offset < image_.checksumOffset + 4);
      if (excluded) {
        EXPECT_EQ(status, 0) << "the CheckSum is not part of the digest";
      }
    }
  }
}

TEST_F(RobustnessTest, SeededRandomEdits) {
  std::mt19937_64 random(20240102);
  for (int round = 0; round < 3000; ++round) {
    Bytes changed = file_;
    int edits = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < edits; ++i) {
      size_t offset = static_cast<size_t>(random() % changed.size());
      switch (random() % 3) {
        case 0:
          changed[offset] = static_cast<uint8_t>(random());
          break;
        case 1:  // a large little-endian value, as a bogus length or offset
          for (size_t k = 0; k < 4 && offset + k < changed.size(); ++k) changed[offset + k] = 0xFF;
          break;
        default:  // cut the file
          changed.resize(offset);
          break;
      }
      if (changed.empty()) break;
    }
    HRESULT status = Verify(changed);
    ASSERT_TRUE(kPossible.count(status)) << std::hex << status << " in round " << round;
  }
}

TEST_F(RobustnessTest, IndirectDigestChangeIsBadDigest) {
  // The image digest sits at the end of SpcIndirectDataContent; find it by
  // value and change its last byte.
  Bytes changed = file_;
  SignatureBlob signature;
  ASSERT_EQ(FindPkcs7Signature(MemorySource(changed), image_, &signature), PeStatus::kOk);
  ByteView blob(changed.data() + signature.offset, signature.bytes.size());
  // Search the blob for the 32-byte SHA-256 digest's OCTET STRING header
  // preceded by the SHA-256 OID and NULL parameters.
  const uint8_t marker[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  size_t position = 0;
  bool found = false;
  for (size_t i = 0; i + sizeof marker + 32 <= blob.size(); ++i) {
    if (SameBytes(blob.subspan(i, sizeof marker), marker)) {
      position = static_cast<size_t>(blob.data() - changed.data()) + i + sizeof marker;
      found = true;
      break;
    }
  }
  ASSERT_TRUE(found);
  changed[position + 31] ^= 1;
  EXPECT_EQ(Verify(changed), TRUST_E_BAD_DIGEST);
}

}  // namespace
}  // namespace wintrust
