// Hostile catalogs, each verified from a real file with the exact status it
// must give.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "wintrust/pe/pe_image.h"
#include "wintrust/subject/subject.h"
#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

Bytes ReadFixture(const std::string& name) {
  return test_support::ReadWholeFile(test_support::FixtureDir() + "/" + name);
}

// The signed catalog `name` with its SignedData's elements passed through
// `edit` (version, digestAlgorithms, encapContentInfo, [0] certificates,
// signerInfos) and every enclosing length recomputed.
Bytes EditCatalog(const std::string& name, const std::function<void(std::vector<Bytes>*)>& edit) {
  const Bytes catalog = ReadFixture(name.find('/') == std::string::npos ? "files/" + name : name);
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

// Files judged as members of the driver package's catalog, which lists its
// image by the SHA-256 image digest and its setup text by the SHA-1 digest.
TEST_F(HostileInputTest, CatalogMembers) {
  const Bytes catalog = ReadFixture("driver/driver.cat");
  const Bytes image = ReadFixture("driver/driver.sys");
  const Bytes text = ReadFixture("driver/driver.inf");
  auto changed = [](Bytes bytes, size_t at) {
    bytes[at] ^= 0x01;
    return bytes;
  };
  PeImage layout;
  ASSERT_EQ(ParsePeHeaders(ByteView(image), &layout), PeStatus::kOk);
  auto listed = [](std::vector<Bytes>* fields, Bytes members) {
    std::vector<Bytes> content = Children(ContentOf((*fields)[2]));
    std::vector<Bytes> list = Children(ContentOf(Children(ContentOf(content[1]))[0]));
    list.back() = std::move(members);
    content[1] = Der(der::kContext0, Der(der::kSequence, Concat(list)));
    (*fields)[2] = Der(der::kSequence, Concat(content));
  };
  struct Case {
    const char* what;
    Bytes catalog;
    Bytes member;
    HRESULT status;
  };
  const Case cases[] = {
      {"the listed image", catalog, image, 0},
      {"the listed image with another checksum, which its digest leaves out", catalog,
       changed(image, static_cast<size_t>(layout.checksumOffset)), 0},
      {"the listed image with a byte of its code changed", catalog, changed(image, image.size() - 1),
       TRUST_E_NOSIGNATURE},
      {"the listed text", catalog, text, 0},
      {"the listed text one byte longer", catalog, Concat({text, Bytes{'\n'}}), TRUST_E_NOSIGNATURE},
      {"an empty file", catalog, Bytes{}, TRUST_E_NOSIGNATURE},
      {"the listed image, the catalog's signers emptied",
       EditCatalog("driver/driver.cat", [](std::vector<Bytes>* fields) { fields->back() = Der(der::kSet, {}); }), image,
       TRUST_E_NOSIGNATURE},
      {"the listed image, the catalog listing nothing",
       EditCatalog("driver/driver.cat", [&](std::vector<Bytes>* fields) { listed(fields, Der(der::kSequence, {})); }),
       image, TRUST_E_NOSIGNATURE},
      {"the listed image, a member that is not a SEQUENCE",
       EditCatalog("driver/driver.cat",
                   [&](std::vector<Bytes>* fields) {
                     listed(fields, Der(der::kSequence, Der(der::kOctetString, Bytes(20, 0))));
                   }),
       image, CRYPT_E_ASN1_BADTAG},
      {"a signed program given as the catalog", ReadFixture("files/pe64-rsa-sha256.exe"), image,
       TRUST_E_SUBJECT_FORM_UNKNOWN},
  };
  for (const Case& c : cases) {
    test_support::WriteWholeFile(dir_ + "/package.cat", c.catalog);
    test_support::WriteWholeFile(dir_ + "/member", c.member);
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA request{};
    TrustState state(&request, action);
    const std::u16string catalogPath = test_support::ToUtf16(dir_ + "/package.cat");
    const std::u16string memberPath = test_support::ToUtf16(dir_ + "/member");
    EXPECT_EQ(VerifyCatalogMember(catalogPath.c_str(), memberPath.c_str(), &state), c.status) << c.what;
  }
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
}  // namespace wintrust::test_support
