// A real signed binary from a Debian package: the Microsoft-signed UEFI shim
// of shim-signed, fetched with apt-get download at test time. Its digest
// algorithm and digest, its signer's key and the verdict are compared with
// what osslsigncode and openssl find on their own. Without access to the
// Debian mirrors the test is skipped, saying so.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>

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

#include "wintrust/authenticode_digest.h"
#include "wintrust/pe_image.h"
#include "wintrust/test_support.h"

namespace wintrust {
namespace {

using test_support::RunCommand;
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

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old, hadOld_ = true;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (hadOld_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool hadOld_ = false;
};

TEST(RealWorld, DebianShimSignedByMicrosoft) {
  const char* shared = std::getenv("SIGREPORT_SHARED_DIR");
  ASSERT_NE(shared, nullptr) << "SIGREPORT_SHARED_DIR is not set";
  std::string roots = std::string(shared) + "/testdata/roots/microsoft-roots.pem";
  struct stat info;
  ASSERT_EQ(stat(roots.c_str(), &info), 0) << "missing " << roots;

  const char* scratch = std::getenv("WINTRUST_SCRATCH");
  std::string base = scratch != nullptr ? scratch : "/tmp";
  mkdir(base.c_str(), 0755);
  std::string pattern = base + "/real-world-XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  std::string dir = pattern;
  std::string output;
  if (RunCommand("cd " + ShellQuote(dir) + " && timeout 300 apt-get download shim-signed", &output) != 0) {
    RunCommand("rm -rf " + ShellQuote(dir), &output);
    GTEST_SKIP() << "apt-get download shim-signed failed; the Debian mirrors are out of "
                    "reach, so the real-world binary could not be checked:\n"
                 << output;
  }
  ASSERT_EQ(RunCommand("cd " + ShellQuote(dir) + " && dpkg-deb -x shim-signed_*.deb root", &output), 0) << output;
  std::string shim = dir + "/root/usr/lib/shim/shimx64.efi.signed";
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
  test_support::PutLe32(&firstOnly, image.securityEntryOffset + 4, static_cast<uint32_t>(firstEntry));
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
  std::string signerSerial = FirstMatch(output, "Signer #0:[\\s\\S]*?Serial : ([0-9A-Fa-f]+)");
  ASSERT_EQ(algorithm, "SHA256") << output;
  ASSERT_FALSE(calculated.empty()) << output;
  EXPECT_EQ(calculated, current) << "the image is intact";
  EXPECT_EQ(verdict.status == 0, osslsigncodeExit == 0) << "library status " << std::hex << verdict.status << "\n"
                                                        << output;
  EXPECT_EQ(verdict.status, 0) << "a Microsoft-signed shim with a timestamp inside its "
                                  "signer's validity is trusted";

  auto digest = ComputeImageDigest(file, image, EVP_sha256());
  ASSERT_TRUE(digest);
  EXPECT_EQ(test_support::Hex(*digest), Lower(calculated));

  // The signer's key, from the certificates openssl extracts.
  std::string sigPem = dir + "/signature.pem";
  ASSERT_EQ(
      RunCommand("osslsigncode extract-signature -pem -in " + ShellQuote(firstOnlyPath) + " -out " + ShellQuote(sigPem),
                 &output),
      0)
      << output;
  ASSERT_EQ(RunCommand("cd " + ShellQuote(dir) +
                           " && openssl pkcs7 -in signature.pem "
                           "-print_certs | awk '/BEGIN/{n++} n{print > (\"cert\" n \".pem\")}'",
                       &output),
            0)
      << output;
  std::string keySha1;
  for (int n = 1; n < 20; ++n) {
    std::string cert = dir + "/cert" + std::to_string(n) + ".pem";
    if (stat(cert.c_str(), &info) != 0) break;
    RunCommand("openssl x509 -noout -serial -in " + ShellQuote(cert), &output);
    if (Lower(FirstMatch(output, "serial=([0-9A-Fa-f]+)")) != Lower(signerSerial)) continue;
    std::string spki = dir + "/spki.pem";
    ASSERT_EQ(RunCommand("openssl x509 -noout -pubkey -in " + ShellQuote(cert) + " > " + ShellQuote(spki), &output), 0);
    RunCommand("openssl asn1parse -in " + ShellQuote(spki), &output);
    std::string offset = FirstMatch(output, "\\s*(\\d+):d=1\\s+hl=\\d+\\s+l=\\s*\\d+ prim: BIT STRING");
    ASSERT_FALSE(offset.empty()) << output;
    std::string keyBits = dir + "/key.bin";
    ASSERT_EQ(RunCommand("openssl asn1parse -in " + ShellQuote(spki) + " -strparse " + offset + " -noout -out " +
                             ShellQuote(keyBits),
                         &output),
              0)
        << output;
    keySha1 = test_support::Sha1Hex(test_support::ReadWholeFile(keyBits));
  }
  ASSERT_FALSE(keySha1.empty()) << "signer certificate " << signerSerial << " not found";
  EXPECT_EQ(verdict.keySha1, keySha1);

  RunCommand("rm -rf " + ShellQuote(dir), &output);
}

}  // namespace
}  // namespace wintrust
