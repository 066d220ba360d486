// Test helper: a trust library and platform in memory. The four trust
// functions are plain function pointers, so the fakes share one scenario,
// `FakeTrust::current`, that a test sets up and inspects.
#pragma once

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "trust/trust_functions.h"
#include "trust/trust_platform.h"

struct FakeTrust {
  // What the fakes answer.
  HRESULT status = 0;
  bool giveProviderData = true;
  bool giveSigner = true;
  bool giveCertificate = true;
  bool giveContext = true;
  bool giveInfo = true;
  std::vector<BYTE> key = {'a', 'b', 'c'};

  // What the fakes saw.
  std::vector<std::string> calls;
  WINTRUST_DATA* verifyRequest = nullptr;
  // Copies of the request as the verification call received it.
  WINTRUST_DATA requestSeen = {};
  WINTRUST_FILE_INFO fileSeen = {};
  GUID actionSeen = {};
  WINTRUST_DATA* closeRequest = nullptr;
  DWORD closeAction = 0;
  HANDLE stateAtClose = nullptr;
  GUID closeActionId = {};
  const WideChar* verifiedPath = nullptr;

  // Records the fakes hand out.
  CERT_INFO info = {};
  CERT_CONTEXT context = {};
  CRYPT_PROVIDER_CERT certificate = {};
  int providerData = 0;
  int signer = 0;

  static FakeTrust* current;
  static HANDLE StateHandle() { return reinterpret_cast<HANDLE>(uintptr_t{0x5157A7E}); }

  static HRESULT WINAPI WinVerifyTrustEx(HWND window, GUID* action, WINTRUST_DATA* request) {
    current->calls.push_back(window == nullptr ? "verify" : "verify(with window)");
    current->verifyRequest = request;
    current->requestSeen = *request;
    current->fileSeen = *request->pFile;
    current->actionSeen = *action;
    current->verifiedPath = request->pFile->pcwszFilePath;
    request->hWVTStateData = StateHandle();
    return current->status;
  }
  static CRYPT_PROVIDER_DATA* WINAPI ProvData(HANDLE state) {
    current->calls.push_back(state == StateHandle() ? "provider" : "provider(bad state)");
    return current->giveProviderData ? reinterpret_cast<CRYPT_PROVIDER_DATA*>(&current->providerData) : nullptr;
  }
  static CRYPT_PROVIDER_SGNR* WINAPI Signer(CRYPT_PROVIDER_DATA* data, DWORD index, BOOL counter, DWORD counterIndex) {
    const bool expected = data == reinterpret_cast<CRYPT_PROVIDER_DATA*>(&current->providerData) && index == 0 &&
                          !counter && counterIndex == 0;
    current->calls.push_back(expected ? "signer" : "signer(bad arguments)");
    return current->giveSigner ? reinterpret_cast<CRYPT_PROVIDER_SGNR*>(&current->signer) : nullptr;
  }
  static CRYPT_PROVIDER_CERT* WINAPI Certificate(CRYPT_PROVIDER_SGNR* signerRecord, DWORD index) {
    const bool expected = signerRecord == reinterpret_cast<CRYPT_PROVIDER_SGNR*>(&current->signer) && index == 0;
    current->calls.push_back(expected ? "certificate" : "certificate(bad arguments)");
    if (!current->giveCertificate) return nullptr;
    current->info.SubjectPublicKeyInfo.PublicKey.pbData = current->key.data();
    current->info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(current->key.size());
    current->context.pCertInfo = current->giveInfo ? &current->info : nullptr;
    current->certificate.pCert = current->giveContext ? &current->context : nullptr;
    return &current->certificate;
  }

  static TrustFunctions AllFunctions() {
    TrustFunctions functions;
    functions.winVerifyTrustEx = &WinVerifyTrustEx;
    functions.wtHelperProvDataFromStateData = &ProvData;
    functions.wtHelperGetProvSignerFromChain = &Signer;
    functions.wtHelperGetProvCertFromChain = &Certificate;
    return functions;
  }
};

inline FakeTrust* FakeTrust::current = nullptr;

class FakeTrustPlatform : public TrustPlatform {
 public:
  explicit FakeTrustPlatform(FakeTrust& trust) : trust_(trust) { FakeTrust::current = &trust; }
  ~FakeTrustPlatform() override { FakeTrust::current = nullptr; }

  bool loads = true;
  std::set<std::string> missingExports;
  // What the mapped-file query answers: a path, or 0 for none.
  WideString mappedPath = WIDE("/lib/trust.so");
  uint32_t mappedCount = 0;  // when non-zero, returned in place of the path's length

  platform::ModuleHandle LoadTrustLibrary() override {
    trust_.calls.push_back("load");
    return loads ? &trust_ : nullptr;
  }
  void* FindExport(platform::ModuleHandle module, const char* name) override {
    trust_.calls.push_back(std::string("find ") + name + (module == &trust_ ? "" : "(bad module)"));
    if (missingExports.count(name) != 0) return nullptr;
    const TrustFunctions functions = FakeTrust::AllFunctions();
    const std::string wanted = name;
    if (wanted == "WinVerifyTrustEx") return reinterpret_cast<void*>(functions.winVerifyTrustEx);
    if (wanted == "WTHelperProvDataFromStateData")
      return reinterpret_cast<void*>(functions.wtHelperProvDataFromStateData);
    if (wanted == "WTHelperGetProvSignerFromChain")
      return reinterpret_cast<void*>(functions.wtHelperGetProvSignerFromChain);
    if (wanted == "WTHelperGetProvCertFromChain")
      return reinterpret_cast<void*>(functions.wtHelperGetProvCertFromChain);
    return nullptr;
  }
  void ReleaseLibrary(platform::ModuleHandle module) override {
    trust_.calls.push_back(module == &trust_ ? "release" : "release(bad module)");
  }
  uint32_t GetMappedFilePath(const void*, WideChar* buffer, uint32_t capacity) override {
    trust_.calls.push_back("mapped");
    const size_t length = std::min<size_t>(mappedPath.size(), capacity);
    std::memcpy(buffer, mappedPath.data(), length * sizeof(WideChar));
    if (length < capacity) buffer[length] = 0;
    return mappedCount != 0 ? mappedCount : static_cast<uint32_t>(length);
  }
  HRESULT CloseVerification(GUID* action, WINTRUST_DATA* request) override {
    trust_.calls.push_back("close");
    trust_.closeRequest = request;
    trust_.closeAction = request->dwStateAction;
    trust_.stateAtClose = request->hWVTStateData;
    trust_.closeActionId = *action;
    return 0;
  }

 private:
  FakeTrust& trust_;
};
