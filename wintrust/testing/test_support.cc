#include "wintrust/testing/test_support.h"

#include <dlfcn.h>
#include <openssl/sha.h>
#include <stdio.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "wintrust/testing/test_request.h"

namespace wintrust::test_support {

std::string FixtureDir() {
  const char* dir = std::getenv("WINTRUST_FIXTURES");
  return dir == nullptr ? std::string() : std::string(dir);
}

std::vector<FixtureEntry> LoadManifest(const std::string& name) {
  std::vector<FixtureEntry> entries;
  std::string dir = FixtureDir();
  if (dir.empty()) return entries;
  std::ifstream in(dir + "/" + name);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    FixtureEntry entry;
    std::string status;
    if (!std::getline(fields, entry.file, '\t') || !std::getline(fields, status, '\t') ||
        !std::getline(fields, entry.digest, '\t') || !std::getline(fields, entry.keySha1, '\t') ||
        !std::getline(fields, entry.signer)) {
      continue;
    }
    entry.status = static_cast<HRESULT>(std::stoul(status, nullptr, 16));
    entries.push_back(entry);
  }
  return entries;
}

std::string FixtureTestName(const ::testing::TestParamInfo<FixtureEntry>& info) {
  return TestNameFrom(info.param.file.substr(info.param.file.rfind('/') + 1));
}

std::string TestNameFrom(std::string text) {
  for (char& c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return text;
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, ByteView bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::u16string ToUtf16(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    uint32_t code;
    size_t length;
    if (lead < 0x80) {
      code = lead, length = 1;
    } else if ((lead & 0xE0) == 0xC0) {
      code = lead & 0x1Fu, length = 2;
    } else if ((lead & 0xF0) == 0xE0) {
      code = lead & 0x0Fu, length = 3;
    } else {
      code = lead & 0x07u, length = 4;
    }
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    i += length;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

std::string Hex(ByteView bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 15]);
  }
  return out;
}

std::string Sha1Hex(ByteView bytes) {
  uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(bytes.data(), bytes.size(), digest);
  return Hex(digest);
}

int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, count);
  int status = pclose(pipe);
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  return out + "'";
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) {
    old_ = old;
    hadOld_ = true;
  }
  setenv(name, value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
  if (hadOld_) {
    setenv(name_, old_.c_str(), 1);
  } else {
    unsetenv(name_);
  }
}

const ExportedApi& Api() {
  static const ExportedApi api = [] {
    ExportedApi loaded;
    loaded.handle = dlopen(WINTRUST_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (loaded.handle == nullptr) return loaded;
    loaded.winVerifyTrustEx =
        reinterpret_cast<decltype(loaded.winVerifyTrustEx)>(dlsym(loaded.handle, "WinVerifyTrustEx"));
    loaded.provDataFromStateData =
        reinterpret_cast<decltype(loaded.provDataFromStateData)>(dlsym(loaded.handle, "WTHelperProvDataFromStateData"));
    loaded.getProvSignerFromChain = reinterpret_cast<decltype(loaded.getProvSignerFromChain)>(
        dlsym(loaded.handle, "WTHelperGetProvSignerFromChain"));
    loaded.getProvCertFromChain =
        reinterpret_cast<decltype(loaded.getProvCertFromChain)>(dlsym(loaded.handle, "WTHelperGetProvCertFromChain"));
    return loaded;
  }();
  return api;
}

LibraryVerdict VerifyThroughLibrary(const std::string& path) {
  const ExportedApi& api = Api();
  LibraryVerdict verdict;
  std::u16string widePath = ToUtf16(path);
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file;
  WINTRUST_DATA request;
  FillFileRequest(widePath.c_str(), &file, &request);
  verdict.status = api.winVerifyTrustEx(nullptr, &action, &request);
  // The tool reads the records after a success only; the tests read them
  // whenever the state has them.
  if (request.hWVTStateData != nullptr) {
    CRYPT_PROVIDER_DATA* data = api.provDataFromStateData(request.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = data ? api.getProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* cert = signer ? api.getProvCertFromChain(signer, 0) : nullptr;
    if (signer != nullptr) verdict.chainLength = signer->csCertChain;
    if (cert != nullptr && cert->pCert != nullptr && cert->pCert->pCertInfo != nullptr) {
      const CRYPT_BIT_BLOB& key = cert->pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
      verdict.keySha1 = Sha1Hex(ByteView(key.pbData, key.cbData));
    }
  }
  request.dwStateAction = WTD_STATEACTION_CLOSE;
  verdict.closeStatus = api.winVerifyTrustEx(nullptr, &action, &request);
  verdict.stateClearedByClose = request.hWVTStateData == nullptr;
  return verdict;
}

}  // namespace wintrust::test_support

namespace wintrust::test_support {

SyntheticPe BuildPe(bool pe32Plus, ByteView table) {
  SyntheticPe pe;
  Bytes& b = pe.bytes;
  b.assign(0x400, 0);
  b[0] = 'M';
  b[1] = 'Z';
  PutLe32(&b, 0x3C, 0x80);
  b[0x80] = 'P';
  b[0x81] = 'E';
  const uint64_t coff = 0x84;
  PutLe16(&b, coff, pe32Plus ? 0x8664 : 0x14C);
  PutLe16(&b, coff + 2, 1);  // one section
  const uint16_t optionalSize = pe32Plus ? 240 : 224;
  PutLe16(&b, coff + 16, optionalSize);
  pe.optionalHeader = coff + 20;
  PutLe16(&b, pe.optionalHeader, pe32Plus ? 0x20B : 0x10B);
  PutLe32(&b, pe.optionalHeader + 64, 0x12345678);  // CheckSum
  const uint64_t rvaCount = pe.optionalHeader + (pe32Plus ? 108 : 92);
  PutLe32(&b, rvaCount, 16);
  pe.securityEntry = rvaCount + 4 + 4 * 8;
  const uint64_t section = pe.optionalHeader + optionalSize;
  std::memcpy(&b[section], ".text", 5);
  PutLe32(&b, section + 16, 0x200);  // SizeOfRawData
  PutLe32(&b, section + 20, 0x200);  // PointerToRawData
  for (size_t i = 0x200; i < 0x400; ++i) b[i] = static_cast<uint8_t>(i * 7);
  if (!table.empty()) {
    pe.tableOffset = b.size();
    PutLe32(&b, pe.securityEntry, static_cast<uint32_t>(pe.tableOffset));
    PutLe32(&b, pe.securityEntry + 4, static_cast<uint32_t>(table.size()));
    b.insert(b.end(), table.begin(), table.end());
  }
  return pe;
}

Bytes WinCertificate(uint16_t revision, uint16_t type, ByteView content) {
  Bytes entry(8);
  PutLe32(&entry, 0, static_cast<uint32_t>(8 + content.size()));
  PutLe16(&entry, 4, revision);
  PutLe16(&entry, 6, type);
  entry.insert(entry.end(), content.begin(), content.end());
  while (entry.size() % 8 != 0) entry.push_back(0);
  return entry;
}

}  // namespace wintrust::test_support

namespace wintrust::test_support {

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

void PutField(Bytes* file, uint64_t offset, uint32_t value, int width) {
  if (width == 1) (*file)[offset] = static_cast<uint8_t>(value);
  if (width == 2) PutLe16(file, offset, static_cast<uint16_t>(value));
  if (width == 4) PutLe32(file, offset, value);
}

}  // namespace wintrust::test_support
