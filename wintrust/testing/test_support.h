// Helpers shared by the trust library's tests: the generated fixtures, the
// exported entry points loaded from the built shared library, external
// commands, and what the hostile-input tables of every room alter files with.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/der_reader.h"
#include "wintrust/base/file_source.h"
#include "wintrust/exports/wintrust.h"
#include "wintrust/pe/pe_image.h"
#include "wintrust/verifier/trust_state.h"
#include "wintrust/verifier/verifier.h"

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

// `text` as a test name: every character but letters and digits becomes '_'.
std::string TestNameFrom(std::string text);

// A parameterised row's name from its `description`.
template <typename Row>
std::string DescribedTestName(const ::testing::TestParamInfo<Row>& info) {
  return TestNameFrom(info.param.description);
}

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

namespace wintrust::test_support {

// DER built by hand: a tag and the shortest encoding of `length`; an element
// of definite or indefinite length; parts joined.
Bytes Header(uint8_t tag, uint64_t length);
Bytes Der(uint8_t tag, ByteView content);
Bytes Indefinite(uint8_t tag, ByteView content);
Bytes Concat(const std::vector<Bytes>& parts);

// The whole elements inside a constructed element's content, and an
// element's content.
std::vector<Bytes> Children(ByteView content);
ByteView ContentOf(ByteView element);

// One little-endian field of `width` bytes (1, 2 or 4) at `offset` of a
// file set to `value`, and the status the file must then give.
template <typename Status>
struct FieldCase {
  const char* what;
  uint64_t offset;
  uint32_t value;
  int width;
  Status status;
};
void PutField(Bytes* file, uint64_t offset, uint32_t value, int width);

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

// A signed file, by default the signed PE fixture, to alter and verify
// through VerifyFile (the path the exported function takes), and a scratch
// folder for the altered copies.
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

}  // namespace wintrust::test_support
