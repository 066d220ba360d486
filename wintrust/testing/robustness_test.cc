// Damaged inputs must give a status, never a crash or a read outside the
// file: every prefix of a signed file and every single-byte change of its
// headers and signature, each with the status its place must give, and
// seeded random edits, with any status but a crash. Run under AddressSanitizer
// (SIGREPORT_SANITIZE) this also proves every read stays in bounds.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <random>
#include <set>

#include "wintrust/base/der_reader.h"
#include "wintrust/chain/certificate_bag.h"
#include "wintrust/pe/pe_image.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"
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
  return VerifyInMemory(copy, "", &state);
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

// The content of the element `element` begins with, and its children.
ByteView ContentOf(ByteView element) {
  Tlv tlv;
  EXPECT_EQ(ReadTlv(element, &tlv), DerError::kNone);
  return tlv.content;
}
ByteView Child(ByteView element, size_t index) {
  DerReader reader(ContentOf(element));
  Tlv child;
  for (size_t i = 0; i <= index; ++i) EXPECT_TRUE(reader.Next(&child));
  return child.whole;
}

// Each byte of a region of the signature changed gives the region's status;
// bytes outside the regions (DER framing, object identifiers, names and
// fields of the certificates, each with its own reading) give a status, and
// few of them none.
TEST_F(RobustnessTest, EverySignatureByteChanged) {
  SignatureBlob signature;
  ASSERT_EQ(FindPkcs7Signature(MemorySource(file_), image_, &signature), PeStatus::kOk);
  const ByteView blob(file_.data() + signature.offset, signature.bytes.size());
  Tlv der;  // the ContentInfo, without the entry's padding
  ASSERT_EQ(ReadTlv(blob, &der), DerError::kNone);
  SignedData parsed;
  ASSERT_EQ(ParseSignedData(blob, &parsed), DerError::kNone);
  IndirectData indirect;
  ASSERT_TRUE(ParseIndirectData(parsed.contentElement, &indirect));
  std::vector<X509Ptr> certificates = ParseCertificates(parsed.certificates);
  CertificateBag bag(parsed.certificates);
  X509* signer = FindSignerCertificate(parsed.signers[0], &bag);
  ASSERT_NE(signer, nullptr);
  ASSERT_EQ(parsed.certificates.size(), 2u) << "the signer and its intermediate";
  const ByteView signerElement = parsed.certificates[X509_cmp(signer, certificates[0].get()) == 0 ? 0 : 1];
  struct Region {
    const char* what;
    ByteView bytes;
    HRESULT status;
  };
  const Region regions[] = {
      {"the WIN_CERTIFICATE header", ByteView(file_).subspan(image_.certTableOffset, 8), TRUST_E_NOSIGNATURE},
      {"the SpcPeImageData", ContentOf(Child(parsed.contentElement, 0)), TRUST_E_BAD_DIGEST},
      {"the image digest", indirect.digest, TRUST_E_BAD_DIGEST},
      {"a certificate's signature", ContentOf(Child(parsed.certificates[0], 2)).subspan(1), TRUST_E_CERT_SIGNATURE},
      {"a certificate's signature", ContentOf(Child(parsed.certificates[1], 2)).subspan(1), TRUST_E_CERT_SIGNATURE},
      {"the signer's public key", ContentOf(Child(Child(Child(signerElement, 0), 6), 1)).subspan(1),
       TRUST_E_BAD_DIGEST},
      {"the authenticated attributes", ContentOf(parsed.signers[0].authAttributes), TRUST_E_BAD_DIGEST},
      {"the signer's signature", parsed.signers[0].signature, TRUST_E_BAD_DIGEST},
      {"the entry's padding",
       ByteView(file_).subspan(static_cast<size_t>(der.whole.data() - file_.data()) + der.whole.size()), 0},
  };
  size_t accepted = 0;
  for (size_t offset = image_.certTableOffset; offset < file_.size(); ++offset) {
    Bytes changed = file_;
    changed[offset] ^= 0x5A;
    const HRESULT status = Verify(changed);
    const uint8_t* byte = file_.data() + offset;
    const Region* region = nullptr;
    for (const Region& r : regions) {
      if (byte >= r.bytes.data() && byte < r.bytes.data() + r.bytes.size()) region = &r;
    }
    if (region != nullptr) {
      ASSERT_EQ(status, region->status) << region->what << " at " << offset;
    } else {
      ASSERT_TRUE(kPossible.count(status)) << std::hex << status << " at " << offset;
      if (status == 0) ++accepted;
    }
  }
  // Only bytes no check covers (unused DER fields, the unused
  // digestAlgorithms set) may change without effect; the signed parts cannot.
  EXPECT_LT(accepted, (file_.size() - image_.certTableOffset) / 50);
}

// Each byte of the headers changed by each mask gives its field's status;
// every byte of no field here is digested and read by no other check.
TEST_F(RobustnessTest, EveryHeaderByteChanged) {
  const uint64_t nt = *ReadLe32(file_, 0x3C);
  constexpr uint8_t kMasks[] = {0x01, 0x80, 0xFF};
  constexpr HRESULT kUnknown = TRUST_E_SUBJECT_FORM_UNKNOWN;
  constexpr HRESULT kDigest = TRUST_E_BAD_DIGEST;
  constexpr HRESULT kUnsigned = TRUST_E_NOSIGNATURE;
  struct Field {
    const char* what;
    uint64_t offset;
    uint64_t size;
    HRESULT status[3];  // for each of kMasks
  };
  const Field fields[] = {
      {"e_magic", 0, 2, {kUnknown, kUnknown, kUnknown}},
      {"e_lfanew", 0x3C, 4, {kUnknown, kUnknown, kUnknown}},
      {"the PE signature", nt, 4, {kUnknown, kUnknown, kUnknown}},
      // 257 sections still fit in the file, and read other bytes as sections.
      {"NumberOfSections' high byte", nt + 7, 1, {kDigest, kUnknown, kUnknown}},
      // The section table one byte off, or the directories cut off before
      // the certificate table's.
      {"SizeOfOptionalHeader's low byte", nt + 0x14, 1, {kDigest, kUnsigned, kUnknown}},
      {"SizeOfOptionalHeader's high byte", nt + 0x15, 1, {kDigest, kUnknown, kUnknown}},
      {"the optional header's Magic", nt + 0x18, 2, {kUnknown, kUnknown, kUnknown}},
      {"the CheckSum, outside the digest", image_.checksumOffset, 4, {0, 0, 0}},
      {"the certificate table's entry", image_.securityEntryOffset, 8, {kUnsigned, kUnsigned, kUnsigned}},
  };
  for (size_t offset = 0; offset < image_.headersEnd; ++offset) {
    const Field* field = nullptr;
    for (const Field& f : fields) {
      if (offset >= f.offset && offset < f.offset + f.size) field = &f;
    }
    for (size_t mask = 0; mask < std::size(kMasks); ++mask) {
      Bytes changed = file_;
      changed[offset] ^= kMasks[mask];
      ASSERT_EQ(Verify(changed), field != nullptr ? field->status[mask] : kDigest)
          << (field != nullptr ? field->what : "a digested byte") << " at " << offset << " mask " << int{kMasks[mask]};
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
