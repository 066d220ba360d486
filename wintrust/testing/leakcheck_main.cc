// Verifies files through the shared library's exported functions, the way
// the tool does, and closes every state: run under valgrind, it shows that a
// verification leaves nothing allocated behind.
//
// Usage: wintrust_leakcheck FIXTURE_DIR   every fixture of FIXTURE_DIR/manifest.tsv
//        wintrust_leakcheck -f FILE...    the named files
// Prints one line per file with the status; exits 1 when a status differs
// from the manifest's.
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "wintrust/exports/wintrust.h"
#include "wintrust/testing/test_request.h"

namespace {

std::u16string Widen(const std::string& text) {
  // Fixture paths are ASCII.
  return std::u16string(text.begin(), text.end());
}

HRESULT VerifyAndClose(const std::string& path, std::string* keyPrefix) {
  std::u16string widePath = Widen(path);
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO file;
  WINTRUST_DATA request;
  FillFileRequest(widePath.c_str(), &file, &request);
  HRESULT status = WinVerifyTrustEx(nullptr, &action, &request);
  keyPrefix->clear();
  if (status == 0) {
    CRYPT_PROVIDER_DATA* data = WTHelperProvDataFromStateData(request.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = data ? WTHelperGetProvSignerFromChain(data, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* cert = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (cert && cert->pCert && cert->pCert->pCertInfo) {
      const CRYPT_BIT_BLOB& key = cert->pCert->pCertInfo->SubjectPublicKeyInfo.PublicKey;
      char hex[3];
      for (DWORD i = 0; i < key.cbData && i < 8; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", key.pbData[i]);
        *keyPrefix += hex;
      }
    }
  }
  request.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrustEx(nullptr, &action, &request);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, long>> files;  // path, expected status or -1
  if (argc >= 3 && std::string(argv[1]) == "-f") {
    for (int i = 2; i < argc; ++i) files.emplace_back(argv[i], -1);
  } else if (argc == 2) {
    std::ifstream manifest(std::string(argv[1]) + "/manifest.tsv");
    std::string line;
    while (std::getline(manifest, line)) {
      std::istringstream fields(line);
      std::string file, status;
      if (std::getline(fields, file, '\t') && std::getline(fields, status, '\t')) {
        files.emplace_back(std::string(argv[1]) + "/" + file, std::stol(status, nullptr, 16));
      }
    }
    if (files.empty()) {
      std::fprintf(stderr, "no fixtures in %s\n", argv[1]);
      return 1;
    }
  } else {
    std::fprintf(stderr, "usage: %s FIXTURE_DIR | -f FILE...\n", argv[0]);
    return 2;
  }
  int mismatches = 0;
  for (const auto& [path, expected] : files) {
    std::string key;
    HRESULT status = VerifyAndClose(path, &key);
    unsigned value = static_cast<unsigned>(status);
    std::printf("%08x %s %s\n", value, key.c_str(), path.c_str());
    if (expected >= 0 && static_cast<long>(value) != expected) ++mismatches;
  }
  return mismatches == 0 ? 0 : 1;
}
