// The program's roots: the root program's trust list as shipped, the index
// the build makes of it, the limits each root carries, and verifications
// anchored on a test trust list's roots (the root_program fixtures).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <ctime>

#include "wintrust/base/file_source.h"
#include "wintrust/chain/chain_policy.h"
#include "wintrust/root_indexer/required_roots.h"
#include "wintrust/root_indexer/root_index_builder.h"
#include "wintrust/root_indexer/trust_list.h"
#include "wintrust/roots/root_index.h"
#include "wintrust/signature/signer_check.h"
#include "wintrust/testing/test_support.h"
#include "wintrust/verifier/verifier.h"

namespace wintrust {
namespace {

using test_support::FixtureEntry;

const std::string kShippedList = WINTRUST_ROOTS_DIR "/authroot.stl";
const std::string kShippedRoots = WINTRUST_ROOTS_DIR "/roots.pem";
const std::string kShippedRequired = WINTRUST_ROOTS_DIR "/required-roots.txt";

std::vector<X509Ptr> ReadPem(const std::string& path) {
  Bytes pem = test_support::ReadWholeFile(path);
  std::vector<X509Ptr> certificates;
  std::unique_ptr<BIO, OpenSslDeleter<BIO_free>> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  while (bio) {
    X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    certificates.push_back(std::move(certificate));
  }
  return certificates;
}

// The roots of a trust list with the limits the build gives them: those of
// the list, and for the roots `required` names those of Windows' own copy.
std::optional<std::vector<ListedRoot>> ListedWithRequired(const std::string& list, const std::string& required) {
  auto listed = ReadTrustList(test_support::ReadWholeFile(list));
  Bytes text = test_support::ReadWholeFile(required);
  std::string error;
  auto requiredRoots =
      ReadRequiredRoots(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), &error);
  EXPECT_TRUE(requiredRoots) << error;
  if (!listed || !requiredRoots) return std::nullopt;
  EXPECT_TRUE(ApplyRequiredRoots(*requiredRoots, &*listed, &error)) << error;
  return listed;
}

// The index of a trust list, its roots and the roots Windows requires, as
// bytes made as the build makes them.
Bytes IndexBytes(const std::string& list, const std::string& roots, const std::string& required) {
  auto listed = ListedWithRequired(list, required);
  if (!listed) return {};
  std::string error;
  auto bytes = BuildRootIndex(*listed, ReadPem(roots), &error);
  EXPECT_TRUE(bytes) << error;
  return bytes ? *bytes : Bytes();
}

std::optional<RootIndex> IndexOf(const std::string& list, const std::string& roots, const std::string& required) {
  return RootIndex::FromBytes(IndexBytes(list, roots, required));
}

const ListedRoot* Find(const std::vector<ListedRoot>& roots, const std::string& thumbprint) {
  for (const ListedRoot& root : roots) {
    if (test_support::Hex(root.thumbprint) == thumbprint) return &root;
  }
  return nullptr;
}

int64_t Utc(int year, int month, int day) {
  struct tm broken {};
  broken.tm_year = year - 1900;
  broken.tm_mon = month - 1;
  broken.tm_mday = day;
  return timegm(&broken);
}

TEST(TrustList, ShippedListNamesEveryRootWithItsLimits) {
  auto roots = ReadTrustList(test_support::ReadWholeFile(kShippedList));
  ASSERT_TRUE(roots);
  EXPECT_EQ(roots->size(), ReadPem(kShippedRoots).size());

  // Microsoft Root Certificate Authority 2011: no usage property, every usage.
  const ListedRoot* root2011 = Find(*roots, "8f43288ad272f3103b6fb1428485ea3014c0bcfe");
  ASSERT_NE(root2011, nullptr);
  EXPECT_FALSE(root2011->limits.enabled.present);
  EXPECT_EQ(root2011->limits.disabledFrom, 0);
  // Microsoft RSA Root Certificate Authority 2017: server and client
  // authentication only.
  const ListedRoot* rsa2017 = Find(*roots, "73a5e64a3bff8316ff0edccc618a906e4eae4d74");
  ASSERT_NE(rsa2017, nullptr);
  EXPECT_TRUE(rsa2017->limits.enabled.present);
  EXPECT_EQ(rsa2017->limits.enabled.usages, 0);
  // Microsoft Identity Verification Root Certificate Authority 2020: code
  // signing and time stamping.
  const ListedRoot* identity = Find(*roots, "f40042e2e5f7e8ef8189fed15519aece42c3bfa2");
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(identity->limits.enabled.usages, kUsageCodeSigning | kUsageTimeStamping);
  // Microsoft Root Certificate Authority (2001): disabled from 2021-08-01,
  // nothing issued after 2017-04-30.
  const ListedRoot* root2001 = Find(*roots, "cdd4eeae6000ac7f40c3802c171e30148030c072");
  ASSERT_NE(root2001, nullptr);
  EXPECT_EQ(root2001->limits.disabledFrom, Utc(2021, 8, 1));
  EXPECT_EQ(root2001->limits.notBefore, Utc(2017, 4, 30));
  EXPECT_FALSE(root2001->limits.notBeforeUsages.present);
}

TEST(TrustList, ShippedListIsSignedUnderTheProgramsRoots) {
  Bytes list = test_support::ReadWholeFile(kShippedList);
  SignedData signedData;
  ASSERT_EQ(ParseSignedData(list, &signedData), DerError::kNone);
  ASSERT_EQ(signedData.signers.size(), 1u);
  std::vector<X509Ptr> certificates = ParseCertificates(signedData.certificates);
  CertificateBag bag(signedData.certificates);
  X509* signer = FindSignerCertificate(signedData.signers[0], &bag);
  ASSERT_NE(signer, nullptr);
  EXPECT_EQ(VerifySigner(signedData.signers[0], signer, signedData.signedContent), SignerCheck::kOk);
  Bytes damaged(signedData.signedContent.begin(), signedData.signedContent.end());
  damaged[damaged.size() / 2] ^= 1;
  EXPECT_EQ(VerifySigner(signedData.signers[0], signer, damaged), SignerCheck::kDigestMismatch);

  // The signer's chain, anchored on the roots the index finds by name and
  // nothing else, judged while the signer's certificate was valid.
  auto index = IndexOf(kShippedList, kShippedRoots, kShippedRequired);
  ASSERT_TRUE(index);
  TrustAnchors anchors(&*index);
  X509StorePtr store(X509_STORE_new());
  for (const X509Ptr& certificate : certificates) {
    for (X509* root : anchors.WithSubject(X509_get_issuer_name(certificate.get()))) {
      X509_STORE_add_cert(store.get(), root);
    }
  }
  X509StackPtr untrusted(sk_X509_new_null());
  for (const X509Ptr& certificate : certificates) {
    ASSERT_TRUE(X509_up_ref(certificate.get()));
    sk_X509_push(untrusted.get(), certificate.get());
  }
  X509StoreCtxPtr context(X509_STORE_CTX_new());
  ASSERT_EQ(X509_STORE_CTX_init(context.get(), store.get(), signer, untrusted.get()), 1);
  struct tm issued {};
  ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notBefore(signer), &issued), 1);
  X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(context.get()), timegm(&issued) + 86400);
  EXPECT_EQ(X509_verify_cert(context.get()), 1)
      << X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
  ASSERT_NE(chain, nullptr);
  X509* top = sk_X509_value(chain, sk_X509_num(chain) - 1);
  EXPECT_NE(anchors.LimitsOf(top), nullptr) << "the chain ends at one of the program's roots";
}

TEST(TrustList, RootsWindowsRequiresCarryTheLimitsOfItsOwnCopy) {
  auto roots = ListedWithRequired(kShippedList, kShippedRequired);
  ASSERT_TRUE(roots);
  // Microsoft Root Certificate Authority (2001): neither its disabled date
  // nor its not-before date, every usage.
  const ListedRoot* root2001 = Find(*roots, "cdd4eeae6000ac7f40c3802c171e30148030c072");
  ASSERT_NE(root2001, nullptr);
  EXPECT_EQ(root2001->limits.disabledFrom, 0);
  EXPECT_EQ(root2001->limits.notBefore, 0);
  EXPECT_FALSE(root2001->limits.enabled.present);
  // Thawte Timestamping CA: time stamping only, as Windows ships it, not
  // the program's dates.
  const ListedRoot* thawte = Find(*roots, "be36a4562fb2ee05dbb3d32323adf445084ed656");
  ASSERT_NE(thawte, nullptr);
  EXPECT_EQ(thawte->limits.enabled.usages, kUsageTimeStamping);
  EXPECT_EQ(thawte->limits.disabledFrom, 0);
  // A root Windows does not require keeps the program's limits.
  const ListedRoot* rsa2017 = Find(*roots, "73a5e64a3bff8316ff0edccc618a906e4eae4d74");
  ASSERT_NE(rsa2017, nullptr);
  EXPECT_TRUE(rsa2017->limits.enabled.present);
  EXPECT_EQ(rsa2017->limits.enabled.usages, 0);
}

struct RequiredListCase {
  const char* what;
  const char* text;
  const char* error;  // what the error says; null when the list reads
};

const RequiredListCase kRequiredListCases[] = {
    {"comments and blank lines", "# note\n\n  cdd4eeae6000ac7f40c3802c171e30148030c072 all A root # why\n", nullptr},
    {"usages joined by a comma", "cdd4eeae6000ac7f40c3802c171e30148030c072 time-stamping,code-signing A root\n",
     nullptr},
    {"a short thumbprint", "cdd4eeae6000ac7f40c3802c171e30148030c0 all A root\n", "line 1: not a SHA-1"},
    {"upper-case hexadecimal", "CDD4EEAE6000AC7F40C3802C171E30148030C072 all A root\n", "line 1: not a SHA-1"},
    {"an unknown usage", "\ncdd4eeae6000ac7f40c3802c171e30148030c072 server-auth A root\n", "line 2: usages"},
    {"an empty usage", "cdd4eeae6000ac7f40c3802c171e30148030c072 code-signing, A root\n", "line 1: usages"},
    {"no name", "cdd4eeae6000ac7f40c3802c171e30148030c072 all\n", "line 1: the root's name"},
    {"a root twice", "cdd4eeae6000ac7f40c3802c171e30148030c072 all A\ncdd4eeae6000ac7f40c3802c171e30148030c072 all A\n",
     "line 2: the root is listed twice"},
};

TEST(RequiredRoots, ReadsTheListOrSaysWhichLineIsWrong) {
  for (const RequiredListCase& row : kRequiredListCases) {
    std::string error;
    auto roots = ReadRequiredRoots(row.text, &error);
    EXPECT_EQ(roots.has_value(), row.error == nullptr) << row.what << ": " << error;
    if (row.error != nullptr) {
      EXPECT_EQ(error.find(row.error), 0u) << row.what << ": " << error;
    }
  }
  std::string error;
  auto roots = ReadRequiredRoots("0000000000000000000000000000000000000000 all Not listed\n", &error);
  ASSERT_TRUE(roots) << error;
  auto listed = ReadTrustList(test_support::ReadWholeFile(kShippedList));
  ASSERT_TRUE(listed);
  EXPECT_FALSE(ApplyRequiredRoots(*roots, &*listed, &error));
  EXPECT_NE(error.find("is not in the trust list"), std::string::npos) << error;
}

TEST(RootIndex, BuildMatchesTheInstalledIndexAndFindsEveryRoot) {
  auto listed = ListedWithRequired(kShippedList, kShippedRequired);
  ASSERT_TRUE(listed);
  std::vector<X509Ptr> roots = ReadPem(kShippedRoots);
  std::string error;
  auto bytes = BuildRootIndex(*listed, roots, &error);
  ASSERT_TRUE(bytes) << error;
  EXPECT_TRUE(test_support::ReadWholeFile(WINTRUST_ROOT_INDEX) == *bytes) << "the build's index is this one";

  std::optional<RootIndex> index = RootIndex::FromBytes(std::move(*bytes));
  ASSERT_TRUE(index);
  TrustAnchors anchors(&*index);
  for (const X509Ptr& root : roots) {
    std::vector<X509*> found = anchors.WithSubject(X509_get_subject_name(root.get()));
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](X509* candidate) {
      return X509_cmp(candidate, root.get()) == 0;
    })) << "root not found by its subject";
    const RootLimits* limits = anchors.LimitsOf(root.get());
    ASSERT_NE(limits, nullptr);
    std::array<uint8_t, 20> thumbprint{};
    unsigned int length = 0;
    X509_digest(root.get(), EVP_sha1(), thumbprint.data(), &length);
    const ListedRoot* entry = Find(*listed, test_support::Hex(thumbprint));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(limits->enabled.present, entry->limits.enabled.present);
    EXPECT_EQ(limits->enabled.usages, entry->limits.enabled.usages);
    EXPECT_EQ(limits->disabledFrom, entry->limits.disabledFrom);
    EXPECT_EQ(limits->notBefore, entry->limits.notBefore);
    EXPECT_EQ(limits->notBeforeUsages.usages, entry->limits.notBeforeUsages.usages);
  }
}

TEST(RootIndex, RefusesListAndCertificatesThatDoNotMatch) {
  auto listed = ReadTrustList(test_support::ReadWholeFile(kShippedList));
  ASSERT_TRUE(listed);
  std::vector<X509Ptr> roots = ReadPem(kShippedRoots);
  std::string error;
  std::vector<X509Ptr> missingOne;
  for (size_t i = 1; i < roots.size(); ++i) missingOne.push_back(std::move(roots[i]));
  EXPECT_FALSE(BuildRootIndex(*listed, missingOne, &error));
  EXPECT_NE(error.find("not among the certificates"), std::string::npos) << error;
  std::vector<ListedRoot> shorter(listed->begin() + 1, listed->end());
  EXPECT_FALSE(BuildRootIndex(shorter, ReadPem(kShippedRoots), &error));
  EXPECT_NE(error.find("not in the trust list"), std::string::npos) << error;
}

TEST(RootIndex, RefusesDamagedBytes) {
  Bytes index = test_support::ReadWholeFile(WINTRUST_ROOT_INDEX);
  ASSERT_GT(index.size(), 100u);
  EXPECT_TRUE(RootIndex::FromBytes(index));
  EXPECT_FALSE(RootIndex::FromBytes(Bytes(index.begin(), index.begin() + 15))) << "cut inside the header";
  EXPECT_FALSE(RootIndex::FromBytes(Bytes(index.begin(), index.begin() + 100))) << "cut inside the entries";
  EXPECT_FALSE(RootIndex::FromBytes(Bytes(index.begin(), index.end() - 1))) << "the last root cut short";
  Bytes magic = index;
  magic[0] ^= 1;
  EXPECT_FALSE(RootIndex::FromBytes(magic));
  Bytes count = index;
  PutLe32(&count, 12, 0xFFFFFFFF);
  EXPECT_FALSE(RootIndex::FromBytes(count));
  EXPECT_FALSE(RootIndex::Open("/nonexistent/root-program.idx"));
}

struct JudgeCase {
  const char* what;
  RootLimits limits;
  uint8_t usage;
  RootVerdict verdict;
};

// 2024-06-01, verified; the leaf issued 2024-01-01.
constexpr int64_t kWhen = 1717200000;
constexpr int64_t kIssued = 1704067200;

RootLimits Enabled(uint8_t usages) {
  RootLimits limits;
  limits.enabled = {true, usages};
  return limits;
}

RootLimits Disallowed(uint8_t usages) {
  RootLimits limits;
  limits.disallowed = {true, usages};
  return limits;
}

RootLimits DisabledFrom(int64_t time) {
  RootLimits limits;
  limits.disabledFrom = time;
  return limits;
}

// Not before `time` for `usages`, or for every usage when `usages` is null.
RootLimits NotBefore(int64_t time, const uint8_t* usages = nullptr) {
  RootLimits limits;
  limits.notBefore = time;
  if (usages != nullptr) limits.notBeforeUsages = {true, *usages};
  return limits;
}

constexpr uint8_t kCodeSigningOnly = kUsageCodeSigning;

const JudgeCase kJudgeCases[] = {
    {"no limits", RootLimits{}, kUsageCodeSigning, RootVerdict::kTrusted},
    {"enabled for code signing", Enabled(kUsageCodeSigning), kUsageCodeSigning, RootVerdict::kTrusted},
    {"enabled for other usages only", Enabled(0), kUsageCodeSigning, RootVerdict::kNotForUsage},
    {"enabled for code signing, asked for time stamping", Enabled(kUsageCodeSigning), kUsageTimeStamping,
     RootVerdict::kNotForUsage},
    {"code signing disallowed", Disallowed(kUsageCodeSigning), kUsageCodeSigning, RootVerdict::kNotForUsage},
    {"time stamping disallowed, asked for code signing", Disallowed(kUsageTimeStamping), kUsageCodeSigning,
     RootVerdict::kTrusted},
    {"disabled before the verification", DisabledFrom(kWhen - 1), kUsageCodeSigning, RootVerdict::kDisabled},
    {"disabled at the verification", DisabledFrom(kWhen), kUsageCodeSigning, RootVerdict::kDisabled},
    {"disabled after the verification", DisabledFrom(kWhen + 1), kUsageCodeSigning, RootVerdict::kTrusted},
    {"not before, every usage, leaf issued after", NotBefore(kIssued - 1), kUsageCodeSigning, RootVerdict::kDisabled},
    {"not before, leaf issued before", NotBefore(kIssued + 1), kUsageCodeSigning, RootVerdict::kTrusted},
    {"not before for code signing, leaf issued after", NotBefore(kIssued - 1, &kCodeSigningOnly), kUsageCodeSigning,
     RootVerdict::kNotForUsage},
    {"not before for code signing, asked for time stamping", NotBefore(kIssued - 1, &kCodeSigningOnly),
     kUsageTimeStamping, RootVerdict::kTrusted},
};

TEST(RootLimits, JudgeEachLimit) {
  for (const JudgeCase& row : kJudgeCases) {
    EXPECT_EQ(JudgeRoot(row.limits, row.usage, kWhen, kIssued), row.verdict) << row.what;
  }
}

HRESULT VerifyWithAnchors(const std::string& path, TrustAnchors* anchors) {
  FileOpenError error;
  std::unique_ptr<FileSource> file = FileSource::Open(path, &error);
  if (!file) return kErrorFileNotFound;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_DATA request{};
  TrustState state(&request, action);
  return VerifySource(*file, path, anchors, &state);
}

// The test trust list's roots as the program's roots, made the way the build
// makes the real ones, as bytes.
Bytes TestIndexBytes() {
  std::string program = test_support::FixtureDir() + "/pki/program/";
  return IndexBytes(program + "authroot.stl", program + "roots.pem", program + "required-roots.txt");
}

std::optional<RootIndex> TestIndex() {
  return RootIndex::FromBytes(TestIndexBytes());
}

// The status a verification anchored on the index `bytes` gives the fixture
// `file`; the index refused as a whole is the verifier's system error.
HRESULT StatusUnderIndex(const Bytes& bytes, const std::string& file) {
  std::optional<RootIndex> index = RootIndex::FromBytes(bytes);
  if (!index) return TRUST_E_SYSTEM_ERROR;
  TrustAnchors anchors(&*index);
  return VerifyWithAnchors(test_support::FixtureDir() + "/files/" + file, &anchors);
}

void PutChecksum(Bytes* index) {
  uint32_t count = *ReadLe32(*index, 12);
  unsigned int length = 0;
  EVP_Digest(index->data() + root_index::kHeaderSize, root_index::kEntrySize * count,
             index->data() + root_index::kChecksumOffset, &length, EVP_sha256(), nullptr);
}

TEST(RootIndex, NoFlippedBitGivesARestrictedRootTrust) {
  ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
  test_support::ScopedEnvironment file("SSL_CERT_FILE", "");
  test_support::ScopedEnvironment directory("SSL_CERT_DIR", "");
  const Bytes index = TestIndexBytes();
  ASSERT_GT(index.size(), root_index::kHeaderSize);
  const uint32_t count = *ReadLe32(index, 12);
  const size_t tableEnd = root_index::kHeaderSize + root_index::kEntrySize * count;
  for (const char* fixture : {"program-serverauth.exe", "program-disabled.exe", "program-notbefore.exe"}) {
    SCOPED_TRACE(fixture);
    const HRESULT restricted = StatusUnderIndex(index, fixture);
    ASSERT_NE(restricted, 0);
    size_t refused = 0;
    // A changed name hash under a matching checksum hides the root, which
    // then anchors nothing (CERT_E_CHAINING); anything else the root read
    // back refuses, or the restriction stays.
    auto expectNoTrust = [&](const Bytes& flipped, const std::string& what) {
      HRESULT status = StatusUnderIndex(flipped, fixture);
      EXPECT_TRUE(status == restricted || status == TRUST_E_SYSTEM_ERROR || status == CERT_E_CHAINING)
          << what << ": " << std::hex << status;
      if (status == TRUST_E_SYSTEM_ERROR) ++refused;
    };
    // Every bit of the header and of the table: the checksum refuses it.
    for (size_t at = 0; at < tableEnd; ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        Bytes flipped = index;
        flipped[at] ^= static_cast<uint8_t>(1u << bit);
        expectNoTrust(flipped, "table byte " + std::to_string(at) + " bit " + std::to_string(bit));
      }
    }
    EXPECT_EQ(refused, tableEnd * 8) << "every damaged table is refused as a whole";
    // The same flips in each entry's name hash, offset, length and
    // thumbprint with the checksum made to match: the root read back must
    // still be the one the entry names.
    for (size_t entry = 0; entry < count; ++entry) {
      for (size_t field = 0; field < 32; ++field) {
        for (int bit = 0; bit < 8; ++bit) {
          Bytes flipped = index;
          flipped[root_index::kHeaderSize + entry * root_index::kEntrySize + field] ^= static_cast<uint8_t>(1u << bit);
          PutChecksum(&flipped);
          expectNoTrust(flipped, "entry " + std::to_string(entry) + " byte " + std::to_string(field) + " bit " +
                                     std::to_string(bit) + " under a matching checksum");
        }
      }
    }
    // A bit of every seventh byte of the certificates' DER, which no checksum
    // covers.
    for (size_t at = tableEnd; at < index.size(); at += 7) {
      Bytes flipped = index;
      flipped[at] ^= 1;
      expectNoTrust(flipped, "certificate byte " + std::to_string(at));
    }
  }
}

class RootProgramFixtureTest : public ::testing::TestWithParam<FixtureEntry> {};

TEST_P(RootProgramFixtureTest, StatusUnderTheTestTrustList) {
  const FixtureEntry& entry = GetParam();
  auto index = TestIndex();
  ASSERT_TRUE(index);
  TrustAnchors anchors(&*index);
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X",
                static_cast<unsigned>(VerifyWithAnchors(test_support::FixtureDir() + "/" + entry.file, &anchors)));
  char expected[16];
  std::snprintf(expected, sizeof expected, "0x%08X", static_cast<unsigned>(entry.status));
  EXPECT_STREQ(text, expected) << entry.file;
}

INSTANTIATE_TEST_SUITE_P(Generated, RootProgramFixtureTest,
                         ::testing::ValuesIn(test_support::LoadManifest("root-program.tsv")),
                         test_support::FixtureTestName);

TEST(RootProgram, FixturesArePresent) {
  ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES is not set";
  EXPECT_EQ(test_support::LoadManifest("root-program.tsv").size(), 7u);
}

TEST(RootProgram, RootsAUserAddsComeOnTopOfTheProgramsRoots) {
  std::string dir = test_support::FixtureDir();
  ASSERT_FALSE(dir.empty()) << "WINTRUST_FIXTURES is not set";
  std::string underProgramRoot = dir + "/files/program-enabled.exe";
  std::string underUserRoot = dir + "/files/pe64-rsa-sha256.exe";
  {
    test_support::ScopedEnvironment file("SSL_CERT_FILE", dir + "/trusted-roots.pem");
    std::optional<RootIndex> index = TestIndex();
    TrustAnchors anchors(&*index);
    EXPECT_EQ(VerifyWithAnchors(underProgramRoot, &anchors), 0);
    EXPECT_EQ(VerifyWithAnchors(underUserRoot, &anchors), 0);
  }
  {
    test_support::ScopedEnvironment file("SSL_CERT_FILE", "");
    test_support::ScopedEnvironment directory("SSL_CERT_DIR", "");
    std::optional<RootIndex> index = TestIndex();
    TrustAnchors anchors(&*index);
    EXPECT_EQ(VerifyWithAnchors(underProgramRoot, &anchors), 0);
    EXPECT_EQ(VerifyWithAnchors(underUserRoot, &anchors), CERT_E_CHAINING) << "its root is no longer trusted";
  }
  {
    // A hashed directory, the second of two in the list, as `openssl rehash`
    // leaves it.
    char pattern[] = "/tmp/wintrust-roots-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string roots = pattern;
    std::string output;
    ASSERT_EQ(test_support::RunCommand("cp " + test_support::ShellQuote(dir + "/pki/sha256/root.crt") + " " +
                                           test_support::ShellQuote(roots) + " && openssl rehash " +
                                           test_support::ShellQuote(roots),
                                       &output),
              0)
        << output;
    test_support::ScopedEnvironment file("SSL_CERT_FILE", "");
    test_support::ScopedEnvironment directory("SSL_CERT_DIR", roots + "-missing:" + roots);
    std::optional<RootIndex> index = TestIndex();
    TrustAnchors anchors(&*index);
    EXPECT_EQ(VerifyWithAnchors(underUserRoot, &anchors), 0);
    test_support::RunCommand("rm -rf " + test_support::ShellQuote(roots), &output);
  }
  {
    // A root the user adds carries no limits, even one the program limits.
    test_support::ScopedEnvironment file("SSL_CERT_FILE", dir + "/pki/program/root-serverauth.crt");
    TrustAnchors anchors(nullptr);
    EXPECT_EQ(VerifyWithAnchors(dir + "/files/program-serverauth.exe", &anchors), 0);
  }
}

}  // namespace
}  // namespace wintrust
