// Hostile inputs, each verified from a real file through VerifyFile (the
// path the exported function takes) with the exact status it must give, and
// each cheap: a case that grew quadratically or recursed per nesting level
// would show here as a timeout or a crash. The table in docs/DESIGN.md
// ("Hostile inputs") lists the same rows with the reason for each status.
//
// Where pe_image_test.cc or robustness_test.cc already covers a row at the
// level of the reader, this file checks the status the whole verification
// gives for it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "wintrust/base/der_reader.h"
#include "wintrust/base/file_source.h"
#include "wintrust/chain/chain_policy.h"
#include "wintrust/chain/chain_search.h"
#include "wintrust/chain/signature_budget.h"
#include "wintrust/msi/compound_file.h"
#include "wintrust/msi/msi_subject.h"
#include "wintrust/pe/pe_image.h"
#include "wintrust/signature/digest_policy.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/signature/signer_check.h"
#include "wintrust/signature/timestamp.h"
#include "wintrust/subject/subject.h"
#include "wintrust/testing/certificate_maker.h"
#include "wintrust/testing/compound_file_builder.h"
#include "wintrust/testing/test_support.h"
#include "wintrust/verifier/verifier.h"

namespace wintrust {
namespace {

// A DER tag and the shortest encoding of `length`.
Bytes Header(uint8_t tag, uint64_t length) {
  Bytes out = {tag};
  if (length < 0x80) {
    out.push_back(static_cast<uint8_t>(length));
    return out;
  }
  Bytes octets;
  for (uint64_t rest = length; rest != 0; rest >>= 8) {
    octets.insert(octets.begin(), static_cast<uint8_t>(rest));
  }
  out.push_back(static_cast<uint8_t>(0x80 | octets.size()));
  out.insert(out.end(), octets.begin(), octets.end());
  return out;
}

Bytes Der(uint8_t tag, ByteView content) {
  Bytes out = Header(tag, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Indefinite(uint8_t tag, ByteView content) {
  Bytes out = {tag, 0x80};
  out.insert(out.end(), content.begin(), content.end());
  out.insert(out.end(), {0x00, 0x00});
  return out;
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The whole elements inside a constructed element's content.
std::vector<Bytes> Children(ByteView content) {
  std::vector<Bytes> children;
  DerReader reader(content);
  Tlv child;
  while (!reader.AtEnd() && reader.Next(&child)) {
    children.emplace_back(child.whole.begin(), child.whole.end());
  }
  EXPECT_EQ(reader.error(), DerError::kNone);
  return children;
}

ByteView ContentOf(ByteView element) {
  Tlv tlv;
  EXPECT_EQ(ReadTlv(element, &tlv), DerError::kNone);
  return tlv.content;
}

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

class HostileInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
    char pattern[] = "/tmp/wintrust-hostile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    UseFixture("pe64-rsa-sha256.exe");
  }

  // Makes the named signed fixture the file the cases alter.
  void UseFixture(const std::string& name) {
    signed_ = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/" + name);
    ASSERT_EQ(ParsePeHeaders(signed_, &image_), PeStatus::kOk);
    SignatureBlob signature;
    ASSERT_EQ(FindPkcs7Signature(MemorySource(signed_), image_, &signature), PeStatus::kOk);
    // The DER ContentInfo without the entry's padding.
    Tlv contentInfo;
    ASSERT_EQ(ReadTlv(signature.bytes, &contentInfo), DerError::kNone);
    blob_.assign(contentInfo.whole.begin(), contentInfo.whole.end());
    ASSERT_EQ(VerifyBytes(signed_), 0) << "the unaltered " << name << " verifies";
  }
  void TearDown() override {
    std::string output;
    test_support::RunCommand("rm -rf " + test_support::ShellQuote(dir_), &output);
  }

  HRESULT VerifyPath(const std::string& path) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA request{};
    TrustState state(&request, action);
    std::u16string widePath = test_support::ToUtf16(path);
    return VerifyFile(widePath.c_str(), &state);
  }
  HRESULT VerifyBytes(ByteView bytes) {
    std::string path = dir_ + "/subject.exe";
    test_support::WriteWholeFile(path, bytes);
    return VerifyPath(path);
  }

  // The signed file with its certificate table replaced by one entry
  // holding `blob`.
  Bytes WithBlob(ByteView blob) const {
    Bytes file(signed_.begin(), signed_.begin() + image_.certTableOffset);
    Bytes table = test_support::WinCertificate(0x0200, 0x0002, blob);
    PutLe32(&file, image_.securityEntryOffset + 4, static_cast<uint32_t>(table.size()));
    file.insert(file.end(), table.begin(), table.end());
    return file;
  }

  // The signature with the SignedData's elements passed through `edit`
  // (version, digestAlgorithms, encapContentInfo, [0] certificates,
  // signerInfos) and every enclosing length recomputed.
  Bytes EditSignedData(const std::function<void(std::vector<Bytes>*)>& edit) const {
    std::vector<Bytes> contentInfo = Children(ContentOf(blob_));
    EXPECT_EQ(contentInfo.size(), 2u);
    Bytes signedData = Children(ContentOf(contentInfo[1]))[0];
    std::vector<Bytes> fields = Children(ContentOf(signedData));
    edit(&fields);
    Bytes rebuilt = Der(der::kSequence, Concat(fields));
    return Der(der::kSequence, Concat({contentInfo[0], Der(der::kContext0, rebuilt)}));
  }

  static Bytes& Field(std::vector<Bytes>* fields, uint8_t tag) {
    for (Bytes& field : *fields) {
      if (field[0] == tag) return field;
    }
    ADD_FAILURE() << "no field with tag " << int{tag};
    return fields->front();
  }

  // The signature with the certificate set passed through `edit`.
  Bytes EditCertificates(const std::function<void(std::vector<Bytes>*)>& edit) const {
    return EditSignedData([&](std::vector<Bytes>* fields) {
      Bytes& set = Field(fields, der::kContext0);
      std::vector<Bytes> certificates = Children(ContentOf(set));
      edit(&certificates);
      set = Der(der::kContext0, Concat(certificates));
    });
  }

  Bytes signed_;
  Bytes blob_;
  PeImage image_;
  std::string dir_;
};

// ---- The file and its headers --------------------------------------------

TEST_F(HostileInputTest, TooShortForAnyHeader) {
  EXPECT_EQ(VerifyBytes(ByteView{}), TRUST_E_SUBJECT_FORM_UNKNOWN) << "zero bytes";
  const uint8_t one[] = {'M'};
  EXPECT_EQ(VerifyBytes(one), TRUST_E_SUBJECT_FORM_UNKNOWN) << "one byte";
  const uint8_t mz[] = {'M', 'Z'};
  EXPECT_EQ(VerifyBytes(mz), TRUST_E_SUBJECT_FORM_UNKNOWN) << "\"MZ\" only";
}

TEST_F(HostileInputTest, NtHeadersOutsideTheFile) {
  for (uint32_t lfanew : {static_cast<uint32_t>(signed_.size()), static_cast<uint32_t>(signed_.size() - 4), 0x80000000u,
                          0xFFFFFFFFu, 0xFFFFFFFCu}) {
    Bytes file = signed_;
    PutLe32(&file, 0x3C, lfanew);
    EXPECT_EQ(VerifyBytes(file), TRUST_E_SUBJECT_FORM_UNKNOWN) << std::hex << lfanew;
  }
}

TEST_F(HostileInputTest, SectionTablePastTheEnd) {
  const uint64_t sectionCount = image_.checksumOffset - 64 - 20 + 2;
  Bytes file = signed_;
  PutLe16(&file, sectionCount, 0xFFFF);  // 65535 * 40 bytes: far past the end
  EXPECT_EQ(VerifyBytes(file), TRUST_E_SUBJECT_FORM_UNKNOWN);
  // Cut inside the section table.
  Bytes cut(signed_.begin(), signed_.begin() + static_cast<long>(image_.headersEnd - 1));
  EXPECT_EQ(VerifyBytes(cut), TRUST_E_SUBJECT_FORM_UNKNOWN);
}

// ---- The certificate directory and table ----------------------------------

TEST_F(HostileInputTest, CertificateDirectoryPastTheEnd) {
  for (uint32_t offset :
       {static_cast<uint32_t>(signed_.size()), static_cast<uint32_t>(signed_.size() + 8), 0xFFFFFFF8u}) {
    Bytes file = signed_;
    PutLe32(&file, image_.securityEntryOffset, offset);
    EXPECT_EQ(VerifyBytes(file), TRUST_E_NOSIGNATURE) << std::hex << offset;
  }
  Bytes longer = signed_;
  PutLe32(&longer, image_.securityEntryOffset + 4, image_.certTableSize + 8);
  EXPECT_EQ(VerifyBytes(longer), TRUST_E_NOSIGNATURE) << "size reaching past the end";
}

TEST_F(HostileInputTest, CertificateDirectoryOverlappingTheHeaders) {
  for (uint64_t offset : {uint64_t{0x40}, image_.securityEntryOffset, image_.headersEnd - 8}) {
    Bytes file = signed_;
    PutLe32(&file, image_.securityEntryOffset, static_cast<uint32_t>(offset));
    PutLe32(&file, image_.securityEntryOffset + 4, static_cast<uint32_t>(file.size() - offset));
    EXPECT_EQ(VerifyBytes(file), TRUST_E_NOSIGNATURE) << std::hex << offset;
  }
}

TEST_F(HostileInputTest, CertificateDirectoryOfSizeZeroOrBelowOneEntry) {
  Bytes empty = signed_;
  PutLe32(&empty, image_.securityEntryOffset + 4, 0);
  EXPECT_EQ(VerifyBytes(empty), TRUST_E_NOSIGNATURE) << "size 0";
  for (uint32_t size : {1u, 4u, 7u}) {
    // The table is the file's last `size` bytes: it ends at the end of the
    // file but cannot hold one 8-byte WIN_CERTIFICATE header.
    Bytes file = signed_;
    PutLe32(&file, image_.securityEntryOffset, static_cast<uint32_t>(file.size() - size));
    PutLe32(&file, image_.securityEntryOffset + 4, size);
    EXPECT_EQ(VerifyBytes(file), TRUST_E_NOSIGNATURE) << "size " << size;
  }
}

TEST_F(HostileInputTest, EntryLengthBeyondTheDirectory) {
  for (uint32_t length : {image_.certTableSize + 1, image_.certTableSize + 8, 0xFFFFFFFFu}) {
    Bytes file = signed_;
    PutLe32(&file, image_.certTableOffset, length);
    EXPECT_EQ(VerifyBytes(file), TRUST_E_NOSIGNATURE) << std::hex << length;
  }
  Bytes tooShort = signed_;
  PutLe32(&tooShort, image_.certTableOffset, 4);
  EXPECT_EQ(VerifyBytes(tooShort), TRUST_E_NOSIGNATURE) << "dwLength below the header";
}

TEST_F(HostileInputTest, EntryLargerThanTheLibraryReads) {
  // A sparse file whose only entry claims more than kMaxSignatureSize: it is
  // refused before anything is read or allocated for it.
  Bytes head(signed_.begin(), signed_.begin() + image_.certTableOffset);
  const uint64_t entryLength = kMaxSignatureSize + 16;
  PutLe32(&head, image_.securityEntryOffset + 4, static_cast<uint32_t>(entryLength));
  Bytes header(8);
  PutLe32(&header, 0, static_cast<uint32_t>(entryLength));
  PutLe16(&header, 4, 0x0200);
  PutLe16(&header, 6, 0x0002);
  head.insert(head.end(), header.begin(), header.end());
  std::string path = dir_ + "/oversized.exe";
  test_support::WriteWholeFile(path, head);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(image_.certTableOffset + entryLength)), 0);
  EXPECT_EQ(VerifyPath(path), CRYPT_E_ASN1_LARGE);
}

// ---- The PKCS#7 blob -------------------------------------------------------

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

TEST_F(HostileInputTest, ThousandsOfCertificatesStayCheap) {
  constexpr size_t kCopies = 4000;
  const auto start = std::chrono::steady_clock::now();

  // Every certificate of the message repeated: the chain is still found.
  Bytes duplicated = EditCertificates([&](std::vector<Bytes>* certificates) {
    const std::vector<Bytes> original = *certificates;
    for (size_t i = 0; i < kCopies; ++i) {
      certificates->push_back(original[i % original.size()]);
    }
  });
  EXPECT_EQ(VerifyBytes(WithBlob(duplicated)), 0);

  // Thousands of distinct impostors of each certificate, ahead of the real
  // ones: the same names, keys and key identifiers, another serial number, so
  // the certificate authority's signature over them fails. Each is passed
  // over after one signature check, and the real chain is found.
  auto withImpostors = [&](size_t copies) {
    return EditCertificates([&](std::vector<Bytes>* certificates) {
      std::vector<Bytes> forged;
      for (size_t i = 0; i < copies; ++i) {
        Bytes copy = (*certificates)[i % certificates->size()];
        // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version,
        // serialNumber INTEGER, ... } ...}: change the serial's last bytes.
        std::vector<Bytes> outer = Children(ContentOf(copy));
        std::vector<Bytes> tbs = Children(ContentOf(outer[0]));
        Bytes& serial = tbs[1];
        EXPECT_EQ(serial[0], der::kInteger);
        serial[serial.size() - 1] = static_cast<uint8_t>(i);
        serial[serial.size() - 2] = static_cast<uint8_t>(i >> 8);
        outer[0] = Der(der::kSequence, Concat(tbs));
        Bytes impostor = Der(der::kSequence, Concat(outer));
        // A serial that happens to be the original's makes no impostor.
        if (impostor != copy) forged.push_back(impostor);
      }
      certificates->insert(certificates->begin(), forged.begin(), forged.end());
    });
  };
  EXPECT_EQ(VerifyBytes(WithBlob(withImpostors(kCopies))), 0);
  // The budget now pays for every ordinary impostor a signature within the
  // size cap can hold; what lies past it is in chain/chain_search_test.cc,
  // with a smaller budget.

  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(30));
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

// ---- A file that shrinks during the verification ---------------------------

// Serves the bytes of a file but fails its `failAt`-th read (counting from
// 0), as a file truncated between two reads would.
class FailingSource final : public ByteSource {
 public:
  FailingSource(ByteView bytes, size_t failAt) : memory_(bytes), failAt_(failAt) {}
  uint64_t size() const override { return memory_.size(); }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (reads_++ == failAt_) return false;
    return memory_.Read(offset, out);
  }
  size_t reads() const { return reads_; }

 private:
  MemorySource memory_;
  size_t failAt_;
  mutable size_t reads_ = 0;
};

TEST_F(HostileInputTest, EveryReadThatComesUpShortIsAReadFault) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  size_t failAt = 0;
  for (;; ++failAt) {
    ASSERT_LT(failAt, 100u) << "a verification of a small file reads a few times";
    WINTRUST_DATA request{};
    TrustState state(&request, action);
    FailingSource source(signed_, failAt);
    HRESULT status = VerifySource(source, "", &state);
    if (source.reads() <= failAt) {
      EXPECT_EQ(status, 0) << "no read failed";
      break;
    }
    EXPECT_EQ(status, kErrorReadFault) << "read " << failAt << " failed";
  }
  EXPECT_GE(failAt, 5u) << "headers, entry header, blob and the digest's reads";
}

TEST_F(HostileInputTest, EveryFailedReadOfACabinetScriptOrPackageIsAReadFault) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  for (const std::string name :
       {"cab-rsa-sha256.cab", "ps1-utf8-sha256.ps1", "ps1-utf16-sha256.ps1", "msi-rsa-sha256.msi", "msi-ex-sha1.msi",
        "cat-pkcs7-sha256.cat", "cat-cms-sha256.cat"}) {
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
    EXPECT_GE(failAt, 4u) << name << ": detection, header, signature and digest reads";
  }
}

TEST_F(HostileInputTest, CabinetSignatureLargerThanTheLibraryReads) {
  // A sparse cabinet whose locator claims more than kMaxSignatureSize at its
  // end: refused before anything is read or allocated for it.
  Bytes head = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/cab-rsa-sha256.cab");
  const uint32_t offset = *ReadLe32(head, 44);
  const uint64_t size = kMaxSignatureSize + 16;
  PutLe32(&head, 48, static_cast<uint32_t>(size));
  head.resize(offset);
  std::string path = dir_ + "/oversized.cab";
  test_support::WriteWholeFile(path, head);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(offset + size)), 0);
  EXPECT_EQ(VerifyPath(path), CRYPT_E_ASN1_LARGE);
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

// ---- MSI packages -----------------------------------------------------------

// A compound file of `entries` (entries[0] the root) whose root also holds
// the signature of the signed MSI fixture: the verification reaches the
// digest, which cannot match.
Bytes PackageWithFixtureSignature(std::vector<test_support::BuilderEntry> entries,
                                  test_support::CompoundLayout* layout = nullptr) {
  const Bytes fixture = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/msi-rsa-sha256.msi");
  const MemorySource source(fixture);
  std::unique_ptr<Subject> subject;
  EXPECT_EQ(OpenMsiSubject(source, &subject), SubjectStatus::kOk);
  Bytes blob;
  EXPECT_EQ(subject->ReadSignature(&blob), SubjectStatus::kOk);
  entries.push_back(
      {u"\x05"
       u"DigitalSignature",
       false, 0, blob});
  return test_support::BuildCompoundFile(9, entries, layout);
}

TEST_F(HostileInputTest, PackageWithoutASignatureStream) {
  std::vector<test_support::BuilderEntry> entries(2);
  entries[1] = {u"content", false, 0, Bytes(100, 'c')};
  EXPECT_EQ(VerifyBytes(test_support::BuildCompoundFile(9, entries)), TRUST_E_NOSIGNATURE);
  EXPECT_EQ(VerifyBytes(PackageWithFixtureSignature(entries)), TRUST_E_BAD_DIGEST) << "signed, other content";
}

TEST_F(HostileInputTest, PackageWhoseDirectoryCannotBeRead) {
  std::vector<test_support::BuilderEntry> entries(3);
  entries[1] = {u"content", false, 0, Bytes(100, 'c')};
  entries[2] = {u"more", false, 0, Bytes(5000, 'm')};
  test_support::CompoundLayout layout;
  const Bytes good = PackageWithFixtureSignature(entries, &layout);
  struct Case {
    const char* what;
    uint64_t offset;
    uint32_t value;
  };
  const Case cases[] = {
      {"two sibling links to the same member", layout.EntryOffset(2) + 0x48, layout.directoryIndex[1]},
      {"a child link to the root", layout.EntryOffset(0) + 0x4C, 0},
      {"the directory's chain looping", layout.FatEntryOffset(layout.directoryStart), layout.directoryStart},
      {"the FAT listed past the end", 0x4C, 0x7FFFFFFF},
      {"sectors of 1 KiB", 0x1E, 10},
      {"a FAT sector count of 0xFFFFFFFF", 0x2C, 0xFFFFFFFF},
      {"a mini FAT sector count of 0x7FFFFFFF", 0x40, 0x7FFFFFFF},
      {"a DIFAT start without DIFAT sectors", 0x44, 1},
  };
  const Bytes signedFixture = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/msi-rsa-sha256.msi");
  for (const Case& c : cases) {
    Bytes file = good;
    PutLe32(&file, c.offset, c.value);
    EXPECT_EQ(VerifyBytes(file), TRUST_E_SUBJECT_FORM_UNKNOWN) << c.what;
    // The header's own fields are outside the digest: on the signed package
    // they would otherwise leave the verdict as it was.
    if (c.offset < 0x4C) {
      Bytes package = signedFixture;
      PutLe32(&package, c.offset, c.value);
      EXPECT_EQ(VerifyBytes(package), TRUST_E_SUBJECT_FORM_UNKNOWN) << c.what << " in the signed package";
    }
  }
  EXPECT_EQ(VerifyBytes(signedFixture), 0) << "the signed package as it was";
  EXPECT_EQ(VerifyBytes(ByteView(good).first(good.size() - 1)), TRUST_E_SUBJECT_FORM_UNKNOWN) << "cut by a byte";
}

TEST_F(HostileInputTest, PackageNestingAndEntryCountAreBounded) {
  std::vector<test_support::BuilderEntry> deep(1);
  for (uint32_t level = 0; level <= kMaxNestingLevel; ++level) {
    deep.push_back({u"s", true, deep.size() - 1, {}});
  }
  EXPECT_EQ(VerifyBytes(PackageWithFixtureSignature(deep)), TRUST_E_SUBJECT_FORM_UNKNOWN);
  std::vector<test_support::BuilderEntry> wide(kMaxCompoundEntries);
  for (size_t i = 1; i < wide.size(); ++i) {
    wide[i].name = {u'e', static_cast<char16_t>(0x4000 + i % 0x1000), static_cast<char16_t>(0x4000 + i / 0x1000)};
  }
  EXPECT_EQ(VerifyBytes(PackageWithFixtureSignature(wide)), TRUST_E_SUBJECT_FORM_UNKNOWN);
}

TEST_F(HostileInputTest, PackageSignatureStreamDamagedOrTooLarge) {
  std::vector<test_support::BuilderEntry> entries(2);
  entries[1] = {u"content", false, 0, Bytes(100, 'c')};
  test_support::CompoundLayout layout;
  const Bytes good = PackageWithFixtureSignature(entries, &layout);
  Bytes file = good;
  // The signature, a mini stream, starts past the end of the mini stream.
  PutLe32(&file, layout.EntryOffset(2) + 0x74, 0x00FFFFFF);
  EXPECT_EQ(VerifyBytes(file), TRUST_E_NOSIGNATURE) << "a signature stream that cannot be read";
  file = good;
  PutLe32(&file, layout.EntryOffset(2) + 0x78, static_cast<uint32_t>(kMaxSignatureSize + 1));
  EXPECT_EQ(VerifyBytes(file), CRYPT_E_ASN1_LARGE);
}

TEST_F(HostileInputTest, PackageStreamsSharingSectorsAreReadOnce) {
  // A thousand streams that all claim the same 4 MiB: each sector is read
  // for one of them only, so the cost stays that of the file.
  std::vector<test_support::BuilderEntry> entries(2);
  entries[1] = {u"payload", false, 0, Bytes(size_t{4} << 20, 'p')};
  for (int i = 0; i < 1000; ++i) {
    entries.push_back({u"copy" + std::u16string(1, static_cast<char16_t>(0x4000 + i)), false, 0, Bytes(4096, 'q')});
  }
  test_support::CompoundLayout layout;
  Bytes file = PackageWithFixtureSignature(entries, &layout);
  for (size_t i = 2; i < entries.size(); ++i) {
    PutLe32(&file, layout.EntryOffset(i) + 0x74, layout.startSector[1]);
    PutLe32(&file, layout.EntryOffset(i) + 0x78, static_cast<uint32_t>(entries[1].content.size()));
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VerifyBytes(file), TRUST_E_BAD_DIGEST);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "a quadratic read would hash 4 GiB";
}

// ---- APPX packages -----------------------------------------------------------

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
  struct Case {
    const char* what;
    uint64_t offset;
    uint32_t value;
    int size;
    HRESULT status;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    Bytes file = good;
    if (c.size == 1) file[c.offset] = static_cast<uint8_t>(c.value);
    if (c.size == 2) PutLe16(&file, c.offset, static_cast<uint16_t>(c.value));
    if (c.size == 4) PutLe32(&file, c.offset, c.value);
    EXPECT_EQ(VerifyBytes(file), c.status) << c.what;
  }
  EXPECT_EQ(VerifyBytes(ByteView(good).first(good.size() - 1)), TRUST_E_SUBJECT_FORM_UNKNOWN) << "cut by a byte";
  Bytes renamed = good;
  renamed[signature + 46] = 'X';
  EXPECT_EQ(VerifyBytes(renamed), TRUST_E_SUBJECT_FORM_UNKNOWN)
      << "the signature under another name than its local header's";
}

// ---- The cost of chain searches -------------------------------------------

using test_support::EvpPkeyPtr;

TEST_F(HostileInputTest, SignatureChecksCostTheirKeysAndKeysWindowsCannotLoadNone) {
  EXPECT_EQ(SignatureCheckCost(test_support::RsaPublicKey(2048, "10001").get()), kOrdinaryCheckCost);
  EXPECT_EQ(SignatureCheckCost(test_support::RsaPublicKey(4096, "10001").get()), 4 * kOrdinaryCheckCost);
  EXPECT_EQ(SignatureCheckCost(test_support::RsaPublicKey(2048, "FFFFFFFF").get()), 62u)
      << "31 squarings, 31 multiplications";
  EXPECT_EQ(SignatureCheckCost(test_support::RsaPublicKey(16384, "10001").get()), 64 * kOrdinaryCheckCost);
  EXPECT_FALSE(SignatureCheckCost(test_support::RsaPublicKey(2048, "100000001").get())) << "an exponent of 33 bits";
  EXPECT_FALSE(SignatureCheckCost(test_support::RsaPublicKey(16385, "10001").get())) << "a modulus past 16384 bits";
  EvpPkeyPtr p256(EVP_EC_gen("P-256"));
  EXPECT_EQ(SignatureCheckCost(p256.get()), 4 * kOrdinaryCheckCost);
  EvpPkeyPtr k256(EVP_EC_gen("secp256k1"));
  EXPECT_FALSE(SignatureCheckCost(k256.get())) << "a curve Windows does not name";
}

TEST_F(HostileInputTest, OneSignatureBudgetServesEveryChainOfAVerification) {
  // Impostors of the intermediate ahead of the real one: each costs one
  // ordinary check before the real one is found.
  Bytes file = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/pe64-impostor-intermediates.exe");
  PeImage image;
  ASSERT_EQ(ParsePeHeaders(file, &image), PeStatus::kOk);
  SignatureBlob signature;
  ASSERT_EQ(FindPkcs7Signature(MemorySource(file), image, &signature), PeStatus::kOk);
  SignedData parsed;
  ASSERT_EQ(ParseSignedData(signature.bytes, &parsed), DerError::kNone);
  CertificateBag certificates(parsed.certificates);
  X509* signer = FindSignerCertificate(parsed.signers.front(), &certificates);
  ASSERT_NE(signer, nullptr);
  TrustAnchors anchors(std::nullopt);
  const time_t now = time(nullptr);

  SignatureBudget alone;
  ChainSearch first(&certificates, &anchors, &alone);
  EXPECT_EQ(VerifyChain(signer, &first, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  const uint64_t perSearch = alone.spent();
  ASSERT_GE(perSearch, 2 * kOrdinaryCheckCost) << "at least one impostor and the real intermediate are checked";

  // Two searches on a budget for one search and a half: the second runs out
  // before the real intermediate, and its chain, through the first
  // impostor, fails.
  SignatureBudget shared(perSearch + perSearch / 2);
  ChainSearch one(&certificates, &anchors, &shared);
  ChainSearch another(&certificates, &anchors, &shared);
  EXPECT_EQ(VerifyChain(signer, &one, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  EXPECT_EQ(VerifyChain(signer, &another, nullptr, now, RequiredUsage::kCodeSigning).status, TRUST_E_CERT_SIGNATURE);
  EXPECT_LE(shared.spent(), perSearch + perSearch / 2);
  // One search for both chains: the second pays nothing, its issuer proven.
  SignatureBudget once;
  ChainSearch both(&certificates, &anchors, &once);
  EXPECT_EQ(VerifyChain(signer, &both, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  EXPECT_EQ(VerifyChain(signer, &both, nullptr, now, RequiredUsage::kCodeSigning).status, 0);
  EXPECT_EQ(once.spent(), perSearch);
}

TEST_F(HostileInputTest, AnIssuerWhoseKeyWindowsCannotLoadFailsTheSignature) {
  // A real chain whose intermediate's key has a public exponent of 33 bits:
  // OpenSSL verifies with it, Windows cannot load it. The root is nobody's,
  // so without the key's refusal the chain would end at an untrusted root.
  EvpPkeyPtr rootKey(EVP_EC_gen("P-256"));
  EvpPkeyPtr leafKey(EVP_EC_gen("P-256"));
  for (auto [exponent, status] :
       {std::pair{uint64_t{0x100000001}, TRUST_E_CERT_SIGNATURE}, std::pair{uint64_t{65537}, CERT_E_UNTRUSTEDROOT}}) {
    EvpPkeyPtr intermediateKey = test_support::RsaKeyPair(exponent);
    std::vector<X509Ptr> bag;
    bag.push_back(test_support::IssueCertificate("wide root", "wide root", rootKey.get(), rootKey.get(), true));
    bag.push_back(
        test_support::IssueCertificate("wide intermediate", "wide root", intermediateKey.get(), rootKey.get(), true));
    X509Ptr leaf =
        test_support::IssueCertificate("wide leaf", "wide intermediate", leafKey.get(), intermediateKey.get(), false);
    ASSERT_EQ(X509_verify(leaf.get(), intermediateKey.get()), 1) << "OpenSSL itself takes the key";
    TrustAnchors anchors(std::nullopt);
    SignatureBudget budget;
    std::vector<Bytes> encoded = test_support::EncodeCertificates(bag);
    CertificateBag certificates(std::vector<ByteView>(encoded.begin(), encoded.end()));
    ChainSearch search(&certificates, &anchors, &budget);
    EXPECT_EQ(VerifyChain(leaf.get(), &search, nullptr, time(nullptr), RequiredUsage::kCodeSigning).status, status)
        << "exponent " << exponent;
  }
}

// ---- The user's roots ------------------------------------------------------

TEST_F(HostileInputTest, UserRootsThatAreNoRegularFileAreSkippedAtOnce) {
  // A FIFO without a writer would block a reader that waits for one.
  const std::string fifo = dir_ + "/roots.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    test_support::ScopedEnvironment file("SSL_CERT_FILE", fifo);
    test_support::ScopedEnvironment directory("SSL_CERT_DIR", "");
    EXPECT_EQ(VerifyBytes(signed_), CERT_E_CHAINING) << "no root is read from the FIFO";
  }
  // The same FIFO as HASH.0 for the issuer of every certificate of the
  // message; the roots of SSL_CERT_FILE still anchor the chain.
  const std::string hashed = dir_ + "/hashed";
  ASSERT_EQ(mkdir(hashed.c_str(), 0700), 0);
  SignedData parsed;
  ASSERT_EQ(ParseSignedData(blob_, &parsed), DerError::kNone);
  for (const X509Ptr& certificate : ParseCertificates(parsed.certificates)) {
    int ok = 0;
    char name[32];
    std::snprintf(name, sizeof name, "/%08lx.0",
                  X509_NAME_hash_ex(X509_get_issuer_name(certificate.get()), nullptr, nullptr, &ok));
    ASSERT_TRUE(ok);
    std::string path = hashed + name;
    ASSERT_TRUE(mkfifo(path.c_str(), 0600) == 0 || errno == EEXIST) << path;
  }
  test_support::ScopedEnvironment directory("SSL_CERT_DIR", hashed);
  EXPECT_EQ(VerifyBytes(signed_), 0) << "the FIFOs are skipped";
}

// ---- Catalogs ---------------------------------------------------------------

// The signed catalog `name` with its SignedData's elements passed through
// `edit` (version, digestAlgorithms, encapContentInfo, [0] certificates,
// signerInfos) and every enclosing length recomputed.
Bytes EditCatalog(const std::string& name, const std::function<void(std::vector<Bytes>*)>& edit) {
  const Bytes catalog = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/" + name);
  std::vector<Bytes> contentInfo = Children(ContentOf(catalog));
  std::vector<Bytes> fields = Children(ContentOf(Children(ContentOf(contentInfo[1]))[0]));
  edit(&fields);
  return Der(der::kSequence, Concat({contentInfo[0], Der(der::kContext0, Der(der::kSequence, Concat(fields)))}));
}

TEST_F(HostileInputTest, DamagedCatalogs) {
  const Bytes signedCatalog = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/cat-pkcs7-sha256.cat");
  ASSERT_EQ(VerifyBytes(signedCatalog), 0);
  const Bytes listType = Der(der::kOid, oid::kTrustList);
  const Bytes dataType = Der(der::kOid, Bytes{0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01});
  struct Case {
    const char* what;
    Bytes file;
    HRESULT status;
  };
  const Case cases[] = {
      {"the list replaced by an OCTET STRING of text",
       EditCatalog("cat-cms-sha256.cat",
                   [&](std::vector<Bytes>* fields) {
                     const Bytes text = Der(der::kOctetString, Bytes(40, 'x'));
                     (*fields)[2] = Der(der::kSequence, Concat({listType, Der(der::kContext0, text)}));
                   }),
       CRYPT_E_ASN1_BADTAG},
      {"the signer without authenticated attributes",
       EditCatalog("cat-pkcs7-sha256.cat",
                   [](std::vector<Bytes>* fields) {
                     std::vector<Bytes> signer = Children(ContentOf(Children(ContentOf(fields->back()))[0]));
                     signer.erase(std::remove_if(signer.begin(), signer.end(),
                                                 [](const Bytes& field) { return field[0] == der::kContext0; }),
                                  signer.end());
                     fields->back() = Der(der::kSet, Der(der::kSequence, Concat(signer)));
                   }),
       TRUST_E_BAD_DIGEST},
      {"the digest algorithm unknown",
       EditCatalog("cat-pkcs7-sha256.cat",
                   [&](std::vector<Bytes>* fields) {
                     std::vector<Bytes> signer = Children(ContentOf(Children(ContentOf(fields->back()))[0]));
                     signer[2] = Der(der::kSequence, dataType);
                     fields->back() = Der(der::kSet, Der(der::kSequence, Concat(signer)));
                   }),
       NTE_BAD_ALGID},
      {"the list's type changed to data",
       EditCatalog("cat-pkcs7-sha256.cat",
                   [&](std::vector<Bytes>* fields) {
                     std::vector<Bytes> content = Children(ContentOf((*fields)[2]));
                     content[0] = dataType;
                     (*fields)[2] = Der(der::kSequence, Concat(content));
                   }),
       TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"the signers' set emptied",
       EditCatalog("cat-pkcs7-sha256.cat", [](std::vector<Bytes>* fields) { fields->back() = Der(der::kSet, {}); }),
       TRUST_E_NOSIGNATURE},
      {"cut after the list's type", Bytes(signedCatalog.begin(), signedCatalog.begin() + 80),
       TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"of indefinite length, cut",
       Concat({Bytes{der::kSequence, 0x80}, Bytes(signedCatalog.begin() + 4, signedCatalog.begin() + 300)}),
       CRYPT_E_ASN1_EOD},
      {"of indefinite length, whole",
       Concat({Bytes{der::kSequence, 0x80}, Bytes(signedCatalog.begin() + 4, signedCatalog.end()), Bytes{0, 0}}), 0},
      {"cut before the list's type", Bytes(signedCatalog.begin(), signedCatalog.begin() + 30),
       TRUST_E_SUBJECT_FORM_UNKNOWN},
  };
  for (const Case& c : cases) EXPECT_EQ(VerifyBytes(c.file), c.status) << c.what;
}

TEST_F(HostileInputTest, CatalogLargerThanTheLibraryReads) {
  // A sparse file that opens like a catalog and claims more than
  // kMaxSignatureSize: refused before it is read.
  Bytes head = test_support::ReadWholeFile(test_support::FixtureDir() + "/files/cat-pkcs7-sha256.cat");
  std::string path = dir_ + "/oversized.cat";
  test_support::WriteWholeFile(path, head);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(kMaxSignatureSize + 16)), 0);
  EXPECT_EQ(VerifyPath(path), CRYPT_E_ASN1_LARGE);
}

}  // namespace
}  // namespace wintrust
