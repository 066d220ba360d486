// Real Windows programs from public Debian and npm packages, fetched at test
// time (apt-get download, npm pack) and never kept: each must get the verdict
// Windows gives it with no configuration, the program's roots alone, and a
// trusted one the signer key hash openssl finds on its own. The
// Microsoft-signed UEFI shim is also compared with osslsigncode's opinion
// once its root is added. Without access to the Debian mirrors or the npm
// registry a case is skipped, saying so.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <vector>

// GCC 12 with the sanitizers reports a false -Wmaybe-uninitialized inside
// std::regex's own std::function members; the warning is not about this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "wintrust/pe/image_digest.h"
#include "wintrust/pe/pe_image.h"
#include "wintrust/testing/test_support.h"

namespace wintrust {
namespace {

using test_support::RunCommand;
using test_support::ScopedEnvironment;
using test_support::ShellQuote;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string FirstMatch(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) return {};
  return match[1].str();
}

// The directories the tests made, removed when the test program ends: the
// fetched packages serve every case that needs them, then go.
struct ScratchDirs {
  std::vector<std::string> made;
  ~ScratchDirs() {
    std::string output;
    for (const std::string& dir : made) RunCommand("rm -rf " + ShellQuote(dir), &output);
  }
};

// A fresh directory under the tests' scratch place.
std::string MakeScratchDir() {
  static ScratchDirs dirs;
  const char* scratch = std::getenv("WINTRUST_SCRATCH");
  std::string base = scratch != nullptr ? scratch : "/tmp";
  mkdir(base.c_str(), 0755);
  std::string pattern = base + "/real-world-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return {};
  dirs.made.push_back(pattern);
  return pattern;
}

enum class Registry { kDebian, kNpm };

struct Package {
  Registry registry;
  std::string name;  // for npm with its version, so the files stay the same
};

// Fetches and unpacks `package` once per run; the directory its files are
// under, or empty (with the reason in `why`) when the registry is out of
// reach.
std::string Unpacked(const Package& package, std::string* why) {
  static std::map<std::string, std::string> unpacked;
  auto known = unpacked.find(package.name);
  if (known != unpacked.end()) return known->second;
  std::string dir = MakeScratchDir();
  std::string output;
  std::string fetch =
      package.registry == Registry::kDebian
          ? "timeout 300 apt-get download " + ShellQuote(package.name) + " && dpkg-deb -x *.deb root"
          : "timeout 300 npm pack --silent " + ShellQuote(package.name) + " && mkdir root && tar -xzf *.tgz -C root";
  if (dir.empty() || RunCommand("cd " + ShellQuote(dir) + " && " + fetch, &output) != 0) {
    *why = "could not fetch " + package.name + " (" +
           (package.registry == Registry::kDebian ? "Debian mirrors" : "npm registry") + " out of reach?):\n" + output;
    return {};
  }
  return unpacked[package.name] = dir + "/root";
}

// The SHA-1 of the signer certificate's public key bits, found with
// osslsigncode (the signature and the signer's serial number) and openssl
// (the certificates and the key) alone.
std::string SignerKeySha1(const std::string& file, const std::string& dir) {
  std::string output;
  RunCommand("osslsigncode verify -ignore-crl -in " + ShellQuote(file), &output);
  std::string signerSerial = FirstMatch(output, "Signer #0:[\\s\\S]*?Serial : ([0-9A-Fa-f]+)");
  std::string signature = dir + "/signature.pem";
  if (signerSerial.empty() ||
      RunCommand("osslsigncode extract-signature -pem -in " + ShellQuote(file) + " -out " + ShellQuote(signature),
                 &output) != 0 ||
      RunCommand("cd " + ShellQuote(dir) +
                     " && rm -f cert*.pem && openssl pkcs7 -in signature.pem -print_certs | "
                     "awk '/BEGIN/{n++} n{print > (\"cert\" n \".pem\")}'",
                 &output) != 0) {
    return {};
  }
  for (int n = 1;; ++n) {
    std::string cert = dir + "/cert" + std::to_string(n) + ".pem";
    struct stat info;
    if (stat(cert.c_str(), &info) != 0) return {};
    RunCommand("openssl x509 -noout -serial -in " + ShellQuote(cert), &output);
    if (Lower(FirstMatch(output, "serial=([0-9A-Fa-f]+)")) != Lower(signerSerial)) continue;
    std::string spki = dir + "/spki.pem";
    if (RunCommand("openssl x509 -noout -pubkey -in " + ShellQuote(cert) + " > " + ShellQuote(spki), &output) != 0) {
      return {};
    }
    RunCommand("openssl asn1parse -in " + ShellQuote(spki), &output);
    std::string offset = FirstMatch(output, "\\s*(\\d+):d=1\\s+hl=\\d+\\s+l=\\s*\\d+ prim: BIT STRING");
    std::string keyBits = dir + "/key.bin";
    if (offset.empty() || RunCommand("openssl asn1parse -in " + ShellQuote(spki) + " -strparse " + offset +
                                         " -noout -out " + ShellQuote(keyBits),
                                     &output) != 0) {
      return {};
    }
    return test_support::Sha1Hex(test_support::ReadWholeFile(keyBits));
  }
}

struct RealWorldFile {
  const char* what;
  Package package;
  const char* path;  // inside the unpacked package
  HRESULT status;    // what Windows gives, with its own roots and nothing added
};

void PrintTo(const RealWorldFile& file, std::ostream* out) {
  *out << file.what;
}

const RealWorldFile kRealWorldFiles[] = {
    {"signtool, signed under Microsoft Root Certificate Authority 2010",
     {Registry::kNpm, "@electron/windows-sign@1.2.2"},
     "package/vendor/signtool.exe",
     0},
    {"an older signtool, under Microsoft Root Authority (disabled since 2018), timestamped in 2010",
     {Registry::kNpm, "electron-winstaller@5.4.4"},
     "package/vendor/signtool.exe",
     0},
    {"nuget, signed in 2018 under Microsoft Code Signing PCA: its certificate and its time-stamp authority's were "
     "issued after the not-before date the program gives Microsoft Root Certificate Authority, a root Windows "
     "requires",
     {Registry::kNpm, "grunt-nuget@0.3.1"},
     "package/libs/nuget.exe",
     0},
    {"deno, three-day certificate under the Identity Verification root, RFC 3161 timestamp",
     {Registry::kNpm, "@deno/win32-x64@2.9.6"},
     "package/deno.exe",
     0},
    {"SnoreToast, signed under a commercial CA (DigiCert)",
     {Registry::kNpm, "node-notifier@10.0.1"},
     "package/vendor/snoreToast/snoretoast-x64.exe",
     0},
    {"notifu, unsigned",
     {Registry::kNpm, "node-notifier@10.0.1"},
     "package/vendor/notifu/notifu64.exe",
     TRUST_E_NOSIGNATURE},
    {"the UEFI shim, under the UEFI third-party root, which Windows does not trust for programs",
     {Registry::kDebian, "shim-signed"},
     "usr/lib/shim/shimx64.efi.signed",
     CERT_E_CHAINING},
    {"GRUB, under the distribution's own Secure Boot CA",
     {Registry::kDebian, "grub-efi-amd64-signed"},
     "usr/lib/grub/x86_64-efi-signed/grubx64.efi.signed",
     CERT_E_CHAINING},
};

class RealWorldTest : public ::testing::TestWithParam<RealWorldFile> {};

TEST_P(RealWorldTest, VerdictWithTheProgramsRootsAlone) {
  const RealWorldFile& row = GetParam();
  std::string why;
  std::string root = Unpacked(row.package, &why);
  if (root.empty()) GTEST_SKIP() << why;
  std::string file = root + "/" + row.path;
  ASSERT_FALSE(test_support::ReadWholeFile(file).empty()) << "no " << row.path << " in " << row.package.name;

  ScopedEnvironment noFile("SSL_CERT_FILE", "");
  ScopedEnvironment noDir("SSL_CERT_DIR", "");
  test_support::LibraryVerdict verdict = test_support::VerifyThroughLibrary(file);
  EXPECT_EQ(verdict.status, row.status) << std::hex << "got " << verdict.status;
  if (row.status == 0) {
    std::string dir = MakeScratchDir();
    std::string keySha1 = SignerKeySha1(file, dir);
    ASSERT_FALSE(keySha1.empty()) << "openssl found no signer key";
    EXPECT_EQ(verdict.keySha1, keySha1);
  }
}

INSTANTIATE_TEST_SUITE_P(Packages, RealWorldTest, ::testing::ValuesIn(kRealWorldFiles));

TEST(RealWorld, DebianShimTrustedOnceItsRootIsAdded) {
  std::string roots = WINTRUST_TESTDATA_DIR "/microsoft-roots.pem";
  std::string why;
  std::string root = Unpacked({Registry::kDebian, "shim-signed"}, &why);
  if (root.empty()) GTEST_SKIP() << why;
  std::string dir = MakeScratchDir();
  std::string output;
  std::string shim = root + "/usr/lib/shim/shimx64.efi.signed";
  Bytes file = test_support::ReadWholeFile(shim);
  ASSERT_FALSE(file.empty()) << "no " << shim << " in the package";

  ScopedEnvironment trust("SSL_CERT_FILE", roots);
  test_support::LibraryVerdict verdict = test_support::VerifyThroughLibrary(shim);

  // The table holds more than one WIN_CERTIFICATE, which osslsigncode does
  // not read; a copy keeping only the first entry (the one verified) gives
  // osslsigncode the same image and the same primary signature.
  PeImage image;
  SignatureBlob blob;
  ASSERT_EQ(ParsePeHeaders(file, &image), PeStatus::kOk);
  ASSERT_EQ(FindPkcs7Signature(MemorySource(file), image, &blob), PeStatus::kOk);
  uint64_t firstEntry = (uint64_t{blob.bytes.size()} + 8 + 7) & ~uint64_t{7};
  Bytes firstOnly(file.begin(), file.begin() + static_cast<long>(image.certTableOffset + firstEntry));
  PutLe32(&firstOnly, image.securityEntryOffset + 4, static_cast<uint32_t>(firstEntry));
  std::string firstOnlyPath = dir + "/shim-first-signature.efi";
  test_support::WriteWholeFile(firstOnlyPath, firstOnly);
  EXPECT_EQ(test_support::VerifyThroughLibrary(firstOnlyPath).status, verdict.status);

  // osslsigncode's opinion, revocation ignored as in the request.
  int osslsigncodeExit = RunCommand("osslsigncode verify -ignore-crl -CAfile " + ShellQuote(roots) + " -TSA-CAfile " +
                                        ShellQuote(roots) + " -in " + ShellQuote(firstOnlyPath),
                                    &output);
  std::string algorithm = FirstMatch(output, "Message digest algorithm  : ([A-Z0-9]+)");
  std::string calculated = FirstMatch(output, "Calculated message digest : ([0-9A-F]+)");
  std::string current = FirstMatch(output, "Current message digest    : ([0-9A-F]+)");
  ASSERT_EQ(algorithm, "SHA256") << output;
  ASSERT_FALSE(calculated.empty()) << output;
  EXPECT_EQ(calculated, current) << "the image is intact";
  EXPECT_EQ(verdict.status == 0, osslsigncodeExit == 0) << "library status " << std::hex << verdict.status << "\n"
                                                        << output;
  EXPECT_EQ(verdict.status, 0) << "a Microsoft-signed shim with a timestamp inside its "
                                  "signer's validity is trusted once its root is";

  auto digest = ComputeImageDigest(file, image, EVP_sha256());
  ASSERT_TRUE(digest);
  EXPECT_EQ(test_support::Hex(*digest), Lower(calculated));
  EXPECT_EQ(verdict.keySha1, SignerKeySha1(firstOnlyPath, dir));
}

}  // namespace
}  // namespace wintrust
