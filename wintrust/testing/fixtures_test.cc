// Every generated fixture through the built shared library: the status
// Windows gives, the signer key read back on success, the digest algorithm
// the signature names, and osslsigncode's verdict as an independent opinion.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <set>

#include "wintrust/signature/digest_policy.h"
#include "wintrust/signature/signed_data.h"
#include "wintrust/testing/test_support.h"
#include "wintrust/verifier/subject_registry.h"
#include "wintrust/verifier/verifier.h"

namespace wintrust {
namespace {

using test_support::FixtureEntry;

// Where osslsigncode's verdict and Windows' are known to differ, and why.
const std::map<std::string, std::string> kOsslsigncodeDisagrees = {
    {"files/pe64-second-certificate.exe",
     "osslsigncode requires the table to hold exactly one entry; Windows "
     "verifies the first PKCS#7 entry"},
    {"files/pe64-impostor-intermediates.exe",
     "OpenSSL's chain builder takes the first candidate issuer, an impostor whose signature fails; Windows tries "
     "the next"},
    {"files/pe64-lifetime-expired-timestamped.exe",
     "osslsigncode lets the timestamp keep a lifetime-signing certificate valid; Windows does not"},
    {"files/ps1-late-utf8-signed-as-utf8.ps1",
     "osslsigncode reads every script without a byte-order mark as UTF-8; "
     "Windows reads this one in the ANSI code page"},
    {"files/ps1-late-utf8-signed-as-ansi.ps1",
     "osslsigncode reads every script without a byte-order mark as UTF-8; "
     "Windows reads this one in the ANSI code page"},
    {"files/pe64-expired-legacy-timestamp-bare-sha1.exe",
     "OpenSSL's PKCS#7 verifier wants a DigestInfo in the countersignature's RSA signature; Windows takes the bare "
     "digest legacy time-stamp authorities signed"},
    {"files/pe64-rsa-pss.exe",
     "osslsigncode checks the signer's signature through OpenSSL's PKCS#7 "
     "verifier, which knows RSA PKCS#1 v1.5 padding only; Windows verifies "
     "RSA-PSS"},
};

// A fixture opened as the verifier opens it: through the subject its
// format selects.
struct OpenedFixture {
  std::unique_ptr<FileSource> file;
  std::unique_ptr<Subject> subject;
};

OpenedFixture OpenFixture(const std::string& path) {
  OpenedFixture opened;
  FileOpenError error;
  opened.file = FileSource::Open(path, &error);
  if (opened.file && OpenSubject(*opened.file, path, &opened.subject) != SubjectStatus::kOk) {
    opened.subject.reset();
  }
  return opened;
}

// The digest algorithm the signature names for the content: the indirect
// data's, or for a catalog the signer's.
std::string DigestName(const std::string& path) {
  OpenedFixture opened = OpenFixture(path);
  Bytes blob;
  SignedData signedData;
  if (!opened.subject || opened.subject->ReadSignature(&blob) != SubjectStatus::kOk ||
      ParseSignedData(blob, &signedData) != DerError::kNone) {
    return "-";
  }
  ByteView algorithm;
  IndirectData indirect;
  if (opened.subject->DigestNamedBy() == Subject::DigestHolder::kSignerAttribute) {
    if (signedData.signers.empty()) return "-";
    algorithm = signedData.signers.front().digestAlgorithm;
  } else if (ParseIndirectData(signedData.contentElement, &indirect)) {
    algorithm = indirect.digestAlgorithm;
  } else {
    return "-";
  }
  const EVP_MD* md = DigestForOid(algorithm);
  if (md == nullptr) return "?";
  std::string name = OBJ_nid2sn(EVP_MD_get_type(md));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// The hexadecimal digits that follow the first `label` in `text`; empty when
// there are none.
std::string HexAfter(const std::string& text, const std::string& label) {
  size_t start = text.find(label);
  if (start == std::string::npos) return {};
  start += label.size();
  size_t end = start;
  while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
  return text.substr(start, end - start);
}

// The blob of an APPX package's hashes as osslsigncode's verification
// prints them, each after its own heading: "APPX", then each tag and hash.
std::string AppxBlob(const std::string& output) {
  std::string blob = "41505058";  // "APPX"
  const std::pair<const char*, const char*> parts[] = {
      {"41585043", "Checking Data hashes:"},               // AXPC
      {"41584344", "Checking Central Directory hashes:"},  // AXCD
      {"41584354", "Checking Content Types hashes:"},      // AXCT
      {"4158424D", "Checking Block Map hashes:"},          // AXBM
      {"41584349", "Checking Code Integrity hashes:"},     // AXCI
  };
  for (const auto& [tag, heading] : parts) {
    const size_t at = output.find(heading);
    if (at == std::string::npos) continue;
    blob += tag + HexAfter(output.substr(at), "Calculated message digest : ");
  }
  return blob;
}

std::string StatusText(HRESULT status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

class FixtureTest : public ::testing::TestWithParam<FixtureEntry> {};

TEST_P(FixtureTest, LibraryGivesWindowsStatus) {
  const FixtureEntry& entry = GetParam();
  ASSERT_NE(test_support::Api().winVerifyTrustEx, nullptr) << dlerror();
  std::string path = test_support::FixtureDir() + "/" + entry.file;
  test_support::LibraryVerdict verdict = test_support::VerifyThroughLibrary(path);
  EXPECT_EQ(StatusText(verdict.status), StatusText(entry.status)) << entry.file;
  EXPECT_EQ(verdict.closeStatus, 0);
  EXPECT_TRUE(verdict.stateClearedByClose);
  if (entry.status == 0) {
    EXPECT_EQ(verdict.keySha1, entry.keySha1) << "signer key of " << entry.file;
    EXPECT_GE(verdict.chainLength, 3u) << "leaf, intermediate and root";
  }
}

TEST_P(FixtureTest, SignatureNamesGeneratedDigest) {
  const FixtureEntry& entry = GetParam();
  if (entry.digest == "-") GTEST_SKIP() << "no readable signature in " << entry.file;
  EXPECT_EQ(DigestName(test_support::FixtureDir() + "/" + entry.file), entry.digest);
}

TEST_P(FixtureTest, OsslsigncodeOpinion) {
  const FixtureEntry& entry = GetParam();
  std::string dir = test_support::FixtureDir();
  std::string roots = test_support::ShellQuote(dir + "/trusted-roots.pem");
  std::string output;
  int exitCode = test_support::RunCommand("osslsigncode verify -CAfile " + roots + " -TSA-CAfile " + roots + " -in " +
                                              test_support::ShellQuote(dir + "/" + entry.file),
                                          &output);
  ASSERT_GE(exitCode, 0) << "osslsigncode did not run";
  // osslsigncode verifies nested signatures too and succeeds when any of
  // them does; its verdict on the primary signature is the one comparable
  // with Windows'.
  size_t primary = output.find("Signature Index: 0");
  size_t next = output.find("Signature Index: 1", primary == std::string::npos ? 0 : primary);
  std::string primarySection = primary == std::string::npos ? std::string() : output.substr(primary, next - primary);
  bool osslsigncodeTrusts = exitCode == 0 && primarySection.find("Signature verification: ok") != std::string::npos;
  bool windowsTrusts = entry.status == 0;
  auto known = kOsslsigncodeDisagrees.find(entry.file);
  if (known != kOsslsigncodeDisagrees.end()) {
    EXPECT_NE(osslsigncodeTrusts, windowsTrusts) << "expected disagreement no longer holds: " << known->second;
  } else {
    EXPECT_EQ(osslsigncodeTrusts, windowsTrusts) << output;
  }
  // Where osslsigncode computes the subject's digest, ours must equal it,
  // except where the two read the file differently.
  // For MSI packages its "message digest" is of the whole file; the
  // subject's digest is what it calls the DigitalSignature.
  // For a catalog it prints the signer's messageDigest attribute only, which
  // is the list's digest when the catalog verifies.
  OpenedFixture opened = OpenFixture(dir + "/" + entry.file);
  const bool catalog = opened.subject && opened.subject->DigestNamedBy() == Subject::DigestHolder::kSignerAttribute;
  std::string theirs = HexAfter(output, "Calculated message digest : ");
  if (theirs.empty()) theirs = HexAfter(output, "Calculated DigitalSignature      : ");
  // For APPX packages it prints each hash of the package's blob apart.
  if (output.find("Checking Data hashes:") != std::string::npos) theirs = AppxBlob(output);
  if (catalog) theirs = entry.status == 0 ? HexAfter(output, "Message digest: ") : std::string();
  if (entry.digest != "-" && !theirs.empty() && known == kOsslsigncodeDisagrees.end()) {
    // Read through the file, the way the library reads it.
    ASSERT_TRUE(opened.subject);
    Bytes blob;
    ASSERT_EQ(opened.subject->ReadSignature(&blob), SubjectStatus::kOk);
    const EVP_MD* md = EVP_get_digestbyname(entry.digest.c_str());
    ASSERT_NE(md, nullptr);
    SignedData signedData;
    ASSERT_EQ(ParseSignedData(blob, &signedData), DerError::kNone);
    Bytes digest;
    SubjectStatus status = SubjectDigest(*opened.subject, signedData, md, &digest);
    // A package whose files contradict its block map has no digest to
    // compare: the subject stops there.
    if (status == SubjectStatus::kBadDigest && entry.status == TRUST_E_BAD_DIGEST) return;
    ASSERT_EQ(status, SubjectStatus::kOk);
    std::string ours = test_support::Hex(digest);
    for (char& c : theirs) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(ours, theirs) << entry.file;
  }
}

INSTANTIATE_TEST_SUITE_P(Generated, FixtureTest, ::testing::ValuesIn(test_support::LoadManifest()),
                         test_support::FixtureTestName);

TEST(FixtureSet, CoversEveryStatus) {
  ASSERT_FALSE(test_support::FixtureDir().empty()) << "WINTRUST_FIXTURES must name the generated fixture directory";
  std::vector<FixtureEntry> entries = test_support::LoadManifest();
  ASSERT_GE(entries.size(), 30u);
  std::set<HRESULT> statuses;
  for (const FixtureEntry& entry : entries) statuses.insert(entry.status);
  for (HRESULT wanted :
       {HRESULT{0}, TRUST_E_SUBJECT_FORM_UNKNOWN, TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST, CERT_E_UNTRUSTEDROOT,
        CERT_E_CHAINING, CERT_E_EXPIRED, CERT_E_WRONG_USAGE, TRUST_E_CERT_SIGNATURE}) {
    EXPECT_TRUE(statuses.count(wanted)) << StatusText(wanted);
  }
}

}  // namespace
}  // namespace wintrust
