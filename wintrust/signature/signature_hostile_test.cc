// Hostile PKCS#7 blobs in a signed image, each verified with the exact status
// it must give, and each cheap however deep or long.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>

#include "wintrust/chain/certificate_bag.h"
#include "wintrust/signature/digest_policy.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"
#include "wintrust/signature/timestamp.h"
#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

// `levels` SEQUENCEs, each holding the next, around a NULL. Built from the
// inside out by lengths alone, so the cost is linear in the levels.
Bytes Nested(size_t levels) {
  std::vector<Bytes> headers(levels);
  uint64_t inner = 2;  // the NULL
  for (size_t i = levels; i-- > 0;) {
    headers[i] = Header(der::kSequence, inner);
    inner += headers[i].size();
  }
  Bytes out = Concat(headers);
  out.push_back(der::kNull);
  out.push_back(0);
  return out;
}

TEST_F(HostileInputTest, TruncatedPkcs7) {
  for (size_t keep : {size_t{1}, size_t{2}, size_t{5}, blob_.size() / 2, blob_.size() - 1}) {
    Bytes cut(blob_.begin(), blob_.begin() + static_cast<long>(keep));
    EXPECT_EQ(VerifyBytes(WithBlob(cut)), CRYPT_E_ASN1_EOD) << keep << " bytes kept";
  }
}

TEST_F(HostileInputTest, IndefiniteLengthsOnConstructedElementsAreRead) {
  // The same SignedData with the outer ContentInfo's length made indefinite
  // (BER), the end-of-contents octets added: it verifies.
  const Bytes ber = Indefinite(der::kSequence, ContentOf(blob_));
  EXPECT_EQ(VerifyBytes(WithBlob(ber)), 0);
  // Indefinite only inside, on the certificate set.
  Bytes inner = EditSignedData([](std::vector<Bytes>* fields) {
    Bytes& set = Field(fields, der::kContext0);
    set = Indefinite(der::kContext0, ContentOf(set));
  });
  EXPECT_EQ(VerifyBytes(WithBlob(inner)), 0);
  // The indefinite form on a primitive element is no BER: the signer's
  // signature value as an OCTET STRING of indefinite length.
  Bytes primitive = EditSignedData([](std::vector<Bytes>* fields) {
    Bytes& signers = fields->back();
    std::vector<Bytes> signerInfos = Children(ContentOf(signers));
    std::vector<Bytes> signerFields = Children(ContentOf(signerInfos[0]));
    Bytes& signature = signerFields.back();
    ASSERT_EQ(signature[0], der::kOctetString);
    signature = Indefinite(der::kOctetString, ContentOf(signature));
    signerInfos[0] = Der(der::kSequence, Concat(signerFields));
    signers = Der(der::kSet, Concat(signerInfos));
  });
  EXPECT_EQ(VerifyBytes(WithBlob(primitive)), CRYPT_E_ASN1_BADTAG);
}

TEST_F(HostileInputTest, IndefiniteLengthWithoutItsEnd) {
  // The BER ContentInfo without its closing end-of-contents octets, and cut
  // anywhere else: the data ends inside an element.
  const Bytes ber = Indefinite(der::kSequence, ContentOf(blob_));
  for (size_t keep : {ber.size() - 2, ber.size() - 1, size_t{2}, ber.size() / 2}) {
    Bytes cut(ber.begin(), ber.begin() + static_cast<long>(keep));
    EXPECT_EQ(VerifyBytes(WithBlob(cut)), CRYPT_E_ASN1_EOD) << keep << " bytes kept";
  }
}

TEST_F(HostileInputTest, IndefiniteNestingPastTheCap) {
  // 100000 SEQUENCEs of indefinite length, each holding the next, inside the
  // ContentInfo's [0] and as one more certificate: refused at the cap, in
  // constant stack and at once, whether or not their ends follow.
  constexpr size_t kLevels = 100000;
  Bytes open;
  for (size_t i = 0; i < kLevels; ++i) open.insert(open.end(), {der::kSequence, 0x80});
  Bytes closed = open;
  closed.insert(closed.end(), 2 * kLevels, 0x00);
  const auto start = std::chrono::steady_clock::now();
  for (const Bytes* nested : {&open, &closed}) {
    Bytes contentInfo =
        Indefinite(der::kSequence, Concat({Der(der::kOid, oid::kSignedData), Indefinite(der::kContext0, *nested)}));
    EXPECT_EQ(VerifyBytes(WithBlob(contentInfo)), CRYPT_E_ASN1_BADTAG);
  }
  Bytes extraCertificate = EditCertificates([&](std::vector<Bytes>* certificates) { certificates->push_back(closed); });
  EXPECT_EQ(VerifyBytes(WithBlob(extraCertificate)), CRYPT_E_ASN1_BADTAG);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(HostileInputTest, DeepNestingIsCheapAndNeverRecursedInto) {
  constexpr size_t kLevels = 100000;
  const Bytes nested = Nested(kLevels);
  ASSERT_GT(nested.size(), kLevels * 2);
  const auto start = std::chrono::steady_clock::now();

  // As the whole blob: a ContentInfo whose first element is no OID.
  EXPECT_EQ(VerifyBytes(WithBlob(nested)), CRYPT_E_ASN1_BADTAG);
  // As one more "certificate": not one, so it is left out, and the file
  // still verifies.
  Bytes extraCertificate = EditCertificates([&](std::vector<Bytes>* certificates) { certificates->push_back(nested); });
  EXPECT_EQ(VerifyBytes(WithBlob(extraCertificate)), 0);
  // As the value of a time-stamp attribute among the signer's
  // unauthenticated attributes, which the signature does not cover: an
  // invalid countersignature is ignored, and the file still verifies.
  Bytes timestamp = EditSignedData([&](std::vector<Bytes>* fields) {
    Bytes& signers = fields->back();
    std::vector<Bytes> signerInfos = Children(ContentOf(signers));
    std::vector<Bytes> signerFields = Children(ContentOf(signerInfos[0]));
    ASSERT_NE(signerFields.back()[0], der::kContext1) << "the fixture has no countersignature";
    Bytes attribute = Der(der::kSequence, Concat({Der(der::kOid, oid::kRfc3161CounterSign), Der(der::kSet, nested)}));
    signerFields.push_back(Der(der::kContext1, attribute));
    signerInfos[0] = Der(der::kSequence, Concat(signerFields));
    signers = Der(der::kSet, Concat(signerInfos));
  });
  EXPECT_EQ(VerifyBytes(WithBlob(timestamp)), 0);

  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(20));
}

TEST_F(HostileInputTest, SignerCertificateMissingFromTheMessage) {
  SignedData parsed;
  ASSERT_EQ(ParseSignedData(blob_, &parsed), DerError::kNone);
  CertificateBag certificates(parsed.certificates);
  X509* signer = FindSignerCertificate(parsed.signers.front(), &certificates);
  ASSERT_NE(signer, nullptr);
  unsigned char* encoded = nullptr;
  const int length = i2d_X509(signer, &encoded);
  ASSERT_GT(length, 0);
  const Bytes signerBytes(encoded, encoded + length);
  OPENSSL_free(encoded);

  size_t removed = 0;
  Bytes without = EditCertificates([&](std::vector<Bytes>* list) {
    for (auto it = list->begin(); it != list->end();) {
      if (*it == signerBytes) {
        it = list->erase(it);
        ++removed;
      } else {
        ++it;
      }
    }
  });
  ASSERT_EQ(removed, 1u);
  EXPECT_EQ(VerifyBytes(WithBlob(without)), TRUST_E_NO_SIGNER_CERT);
}

TEST_F(HostileInputTest, OnlyTheFirstCountersignaturesAreTried) {
  // An expired signer whose RFC 3161 time stamp makes it valid; the same
  // token behind N values that are no time stamps at all, either in its own
  // attribute or each in an attribute of its own ahead of it.
  UseFixture("pe64-sha256-expired-timestamped.exe");
  auto withJunkFirst = [&](size_t junk, bool ownAttributes) {
    return EditSignedData([&](std::vector<Bytes>* fields) {
      Bytes& signers = fields->back();
      std::vector<Bytes> signerInfos = Children(ContentOf(signers));
      std::vector<Bytes> signerFields = Children(ContentOf(signerInfos[0]));
      Bytes& unauthenticated = signerFields.back();
      ASSERT_EQ(unauthenticated[0], der::kContext1);
      std::vector<Bytes> attributes = Children(ContentOf(unauthenticated));
      std::vector<Bytes> edited;
      const Bytes type = Der(der::kOid, oid::kRfc3161CounterSign);
      const Bytes junkValue = {der::kNull, 0};
      size_t changed = 0;
      for (const Bytes& attribute : attributes) {
        std::vector<Bytes> parts = Children(ContentOf(attribute));
        if (!SameBytes(ContentOf(parts[0]), oid::kRfc3161CounterSign)) {
          edited.push_back(attribute);
          continue;
        }
        ++changed;
        if (ownAttributes) {
          for (size_t i = 0; i < junk; ++i) {
            edited.push_back(Der(der::kSequence, Concat({type, Der(der::kSet, junkValue)})));
          }
          edited.push_back(attribute);
          continue;
        }
        std::vector<Bytes> values(junk, junkValue);
        for (const Bytes& token : Children(ContentOf(parts[1]))) values.push_back(token);
        edited.push_back(Der(der::kSequence, Concat({parts[0], Der(der::kSet, Concat(values))})));
      }
      ASSERT_EQ(changed, 1u);
      unauthenticated = Der(der::kContext1, Concat(edited));
      signerInfos[0] = Der(der::kSequence, Concat(signerFields));
      signers = Der(der::kSet, Concat(signerInfos));
    });
  };
  ASSERT_EQ(kMaxCountersignatureAttempts, 8u);
  for (bool ownAttributes : {false, true}) {
    SCOPED_TRACE(ownAttributes ? "junk in attributes of its own" : "junk in the token's attribute");
    EXPECT_EQ(VerifyBytes(WithBlob(withJunkFirst(1, ownAttributes))), 0) << "the second is tried";
    EXPECT_EQ(VerifyBytes(WithBlob(withJunkFirst(7, ownAttributes))), 0) << "the eighth is tried";
    EXPECT_EQ(VerifyBytes(WithBlob(withJunkFirst(8, ownAttributes))), CERT_E_EXPIRED) << "the ninth is not";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VerifyBytes(WithBlob(withJunkFirst(100000, ownAttributes))), CERT_E_EXPIRED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
}

// The blob with the SHA-256 object identifier that starts at or after
// `from` turned into SHA-224's, which differs in its last octet and lies
// outside the digest policy. Lengths stay as they are.
Bytes Sha256ToSha224(Bytes blob, size_t from) {
  const uint8_t sha256[] = {der::kOid, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
  auto found = std::search(blob.begin() + static_cast<long>(from), blob.end(), std::begin(sha256), std::end(sha256));
  EXPECT_NE(found, blob.end());
  if (found != blob.end()) found[sizeof sha256 - 1] = 0x04;
  return blob;
}

size_t OffsetIn(ByteView part, ByteView whole) {
  return static_cast<size_t>(part.data() - whole.data());
}

TEST_F(HostileInputTest, DigestsOutsideThePolicyAreBadAlgid) {
  SignedData parsed;
  ASSERT_EQ(ParseSignedData(blob_, &parsed), DerError::kNone);
  // The image digest's algorithm, in the SpcIndirectDataContent.
  EXPECT_EQ(VerifyBytes(WithBlob(Sha256ToSha224(blob_, OffsetIn(parsed.contentElement, blob_)))), NTE_BAD_ALGID);
  // The signer's digest algorithm, the first OID of its SignerInfo.
  EXPECT_EQ(VerifyBytes(WithBlob(Sha256ToSha224(blob_, OffsetIn(parsed.signers[0].digestAlgorithm, blob_) - 2))),
            NTE_BAD_ALGID);

  // An RFC 3161 token's messageImprint, which lies right before the imprinted
  // digest of the signer's signature value.
  UseFixture("pe64-sha256-expired-timestamped.exe");
  ASSERT_EQ(ParseSignedData(blob_, &parsed), DerError::kNone);
  auto imprinted = Digest(EVP_sha256(), parsed.signers[0].signature);
  ASSERT_TRUE(imprinted);
  auto digest = std::search(blob_.begin(), blob_.end(), imprinted->begin(), imprinted->end());
  ASSERT_NE(digest, blob_.end());
  const size_t imprint = static_cast<size_t>(digest - blob_.begin()) - 17;  // OID, NULL, OCTET STRING header
  EXPECT_EQ(VerifyBytes(WithBlob(Sha256ToSha224(blob_, imprint))), NTE_BAD_ALGID);

  // A legacy countersignature's digest algorithm, the first OID of the
  // countersigner in the unauthenticated attributes after the attribute type.
  UseFixture("pe64-expired-legacy-timestamp.exe");
  ASSERT_EQ(ParseSignedData(blob_, &parsed), DerError::kNone);
  EXPECT_EQ(VerifyBytes(WithBlob(Sha256ToSha224(blob_, OffsetIn(parsed.signers[0].unauthAttributes, blob_)))),
            NTE_BAD_ALGID);
}

}  // namespace
}  // namespace wintrust::test_support
