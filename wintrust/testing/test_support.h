// Helpers shared by the trust library's tests: the generated fixtures, the
// exported entry points loaded from the built shared library, and external
// commands.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/exports/wintrust.h"

namespace wintrust::test_support {

// The fixture directory the test driver generated (WINTRUST_FIXTURES); empty
// when the variable is not set.
std::string FixtureDir();

struct FixtureEntry {
  std::string file;     // relative to FixtureDir()
  HRESULT status = 0;   // what Windows returns
  std::string digest;   // "sha256", ... or "-"
  std::string keySha1;  // signer key hash, or "-"
  std::string signer;   // signer certificate, or "-"
};

// The fixtures of `name` (manifest.tsv, or root-program.tsv: those whose
// status holds under the test trust list's roots); empty when there is none.
std::vector<FixtureEntry> LoadManifest(const std::string& name = "manifest.tsv");

// A parameterised test's name for a fixture: its file name, with every
// character gtest does not allow in a name replaced by '_'.
std::string FixtureTestName(const ::testing::TestParamInfo<FixtureEntry>& info);

Bytes ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, ByteView bytes);

// UTF-8 text to the tool's UTF-16 text.
std::u16string ToUtf16(const std::string& text);

std::string Hex(ByteView bytes);
std::string Sha1Hex(ByteView bytes);

// Runs a shell command; returns its exit status (-1 when it could not run)
// and what it wrote to standard output and standard error.
int RunCommand(const std::string& command, std::string* output);

// Quotes a path for the shell.
std::string ShellQuote(const std::string& text);

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::string old_;
  bool hadOld_ = false;
};

// The four functions resolved from the built libwintrust.so by name.
struct ExportedApi {
  HRESULT(WINAPI* winVerifyTrustEx)(HWND, GUID*, WINTRUST_DATA*) = nullptr;
  CRYPT_PROVIDER_DATA*(WINAPI* provDataFromStateData)(HANDLE) = nullptr;
  CRYPT_PROVIDER_SGNR*(WINAPI* getProvSignerFromChain)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD) = nullptr;
  CRYPT_PROVIDER_CERT*(WINAPI* getProvCertFromChain)(CRYPT_PROVIDER_SGNR*, DWORD) = nullptr;
  void* handle = nullptr;
};

// Loads the library once per process; members are null when that fails.
const ExportedApi& Api();

struct LibraryVerdict {
  HRESULT status = 0;
  HRESULT closeStatus = 0;
  bool stateClearedByClose = false;
  std::string keySha1;  // signer key hash, when the state names a signer
  DWORD chainLength = 0;
};

// Verifies `path` through the exported functions exactly as the tool does:
// the request filled the same way, the records walked the same way, and the
// state closed on every path.
LibraryVerdict VerifyThroughLibrary(const std::string& path);

}  // namespace wintrust::test_support

namespace wintrust::test_support {

// A small synthetic PE image: DOS header, PE headers with 16 data
// directories, one section of 0x200 bytes at 0x200, and, when `table` is not
// empty, `table` appended as the certificate table with its directory entry
// pointing at it.
struct SyntheticPe {
  Bytes bytes;
  uint64_t optionalHeader = 0;
  uint64_t securityEntry = 0;
  uint64_t tableOffset = 0;
};
SyntheticPe BuildPe(bool pe32Plus, ByteView table);

// A WIN_CERTIFICATE entry: 8-byte header, content, zero padding to 8 bytes.
Bytes WinCertificate(uint16_t revision, uint16_t type, ByteView content);

}  // namespace wintrust::test_support
