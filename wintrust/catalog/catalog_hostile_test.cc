// Hostile catalogs, each verified from a real file with the exact status it
// must give.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "wintrust/subject/subject.h"
#include "wintrust/testing/test_support.h"

namespace wintrust::test_support {
namespace {

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
}  // namespace wintrust::test_support
