// The four entry points the library exports, with C linkage. Everything else
// in the library is hidden.
#include <openssl/err.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

#include "wintrust/exports/wintrust.h"
#include "wintrust/verifier/trust_state.h"
#include "wintrust/verifier/verifier.h"

#define WINTRUST_EXPORT extern "C" __attribute__((visibility("default")))

namespace wintrust {
namespace {

const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

// The states handed out and not closed yet. A handle is only ever turned back
// into a state after it is found here, so a stale or foreign handle is
// answered, not followed.
class StateRegistry {
 public:
  void Add(TrustState* state) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.insert(state);
  }
  // Removes the state and returns it for deletion; null when unknown.
  TrustState* Take(void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = live_.find(static_cast<TrustState*>(handle));
    if (found == live_.end()) return nullptr;
    TrustState* state = *found;
    live_.erase(found);
    return state;
  }
  TrustState* Find(void* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = live_.find(static_cast<TrustState*>(handle));
    return found == live_.end() ? nullptr : *found;
  }

 private:
  std::mutex mutex_;
  std::unordered_set<TrustState*> live_;
};

StateRegistry& Registry() {
  // Never destroyed: a caller may close a state during process exit.
  static StateRegistry* registry = new StateRegistry;
  return *registry;
}

// The request must reach hWVTStateData for any state to be handed back.
constexpr size_t kMinimumRequestSize = offsetof(WINTRUST_DATA, hWVTStateData) + sizeof(HANDLE);
constexpr size_t kMinimumFileInfoSize = offsetof(WINTRUST_FILE_INFO, pcwszFilePath) + sizeof(LPCWSTR);
constexpr size_t kMinimumCatalogInfoSize = offsetof(WINTRUST_CATALOG_INFO, pcwszMemberFilePath) + sizeof(LPCWSTR);

HRESULT Close(WINTRUST_DATA* request) {
  if (request->hWVTStateData != nullptr) {
    TrustState* state = Registry().Take(request->hWVTStateData);
    if (state == nullptr) return E_INVALIDARG;
    delete state;
    request->hWVTStateData = nullptr;
  }
  return 0;
}

// Verifies and leaves the caller's OpenSSL error queue as it was found: what
// the verification queues is popped back to a mark set here. Nothing inside
// may empty the queue, which would take the mark with it; that is why the
// user's roots are read without OpenSSL's file lookups (trust_anchors.cc).
template <typename Verification>
HRESULT VerifyKeepingCallersErrors(Verification verify) {
  ERR_set_mark();
  HRESULT status;
  try {
    status = verify();
  } catch (...) {
    status = E_OUTOFMEMORY;
  }
  ERR_pop_to_mark();
  return status;
}

HRESULT Verify(WINTRUST_DATA* request, bool keepState) {
  const WINTRUST_FILE_INFO* fileInfo = request->dwUnionChoice == WTD_CHOICE_FILE ? request->pFile : nullptr;
  const WINTRUST_CATALOG_INFO* catalogInfo = request->dwUnionChoice == WTD_CHOICE_CATALOG ? request->pCatalog : nullptr;
  if (request->dwUnionChoice != WTD_CHOICE_FILE && request->dwUnionChoice != WTD_CHOICE_CATALOG) {
    return TRUST_E_SUBJECT_FORM_UNKNOWN;
  }
  if (fileInfo != nullptr
          ? fileInfo->cbStruct < kMinimumFileInfoSize || fileInfo->pcwszFilePath == nullptr
          : catalogInfo == nullptr || catalogInfo->cbStruct < kMinimumCatalogInfoSize ||
                catalogInfo->pcwszCatalogFilePath == nullptr || catalogInfo->pcwszMemberFilePath == nullptr) {
    return E_INVALIDARG;
  }
  auto state = std::make_unique<TrustState>(request, kGenericVerifyV2);
  if (request->cbStruct >= offsetof(WINTRUST_DATA, dwProvFlags) + sizeof(DWORD)) {
    state->providerData()->dwProvFlags = request->dwProvFlags;
  }
  // Handles are deliberately not used: files are always opened by path.
  TrustState* target = state.get();
  HRESULT status = VerifyKeepingCallersErrors([&] {
    return fileInfo != nullptr
               ? VerifyFile(fileInfo->pcwszFilePath, target)
               : VerifyCatalogMember(catalogInfo->pcwszCatalogFilePath, catalogInfo->pcwszMemberFilePath, target);
  });
  state->SetFinalStatus(status);
  if (keepState) {
    Registry().Add(state.get());
    request->hWVTStateData = state.release();
  }
  return status;
}

HRESULT Dispatch(GUID* action, WINTRUST_DATA* request) {
  if (action == nullptr || !SameGuid(*action, kGenericVerifyV2)) {
    return TRUST_E_ACTION_UNKNOWN;
  }
  if (request == nullptr || request->cbStruct < kMinimumRequestSize) {
    return E_INVALIDARG;
  }
  switch (request->dwStateAction) {
    case WTD_STATEACTION_VERIFY:
      return Verify(request, true);
    case WTD_STATEACTION_IGNORE:
      return Verify(request, false);
    case WTD_STATEACTION_CLOSE:
      return Close(request);
    default:
      return E_INVALIDARG;
  }
}

}  // namespace
}  // namespace wintrust

WINTRUST_EXPORT HRESULT WINAPI WinVerifyTrustEx(HWND, GUID* pgActionID, WINTRUST_DATA* pWinTrustData) {
  HRESULT status;
  try {
    status = wintrust::Dispatch(pgActionID, pWinTrustData);
  } catch (const std::bad_alloc&) {
    status = E_OUTOFMEMORY;
  } catch (...) {
    status = E_OUTOFMEMORY;
  }
  return status;
}

WINTRUST_EXPORT CRYPT_PROVIDER_DATA* WINAPI WTHelperProvDataFromStateData(HANDLE hStateData) {
  wintrust::TrustState* state = wintrust::Registry().Find(hStateData);
  return state == nullptr ? nullptr : state->providerData();
}

WINTRUST_EXPORT CRYPT_PROVIDER_SGNR* WINAPI WTHelperGetProvSignerFromChain(CRYPT_PROVIDER_DATA* pProvData,
                                                                           DWORD idxSigner, BOOL fCounterSigner,
                                                                           DWORD idxCounterSigner) {
  if (pProvData == nullptr || idxSigner >= pProvData->csSigners || pProvData->pasSigners == nullptr) {
    return nullptr;
  }
  CRYPT_PROVIDER_SGNR* signer = &pProvData->pasSigners[idxSigner];
  if (!fCounterSigner) return signer;
  if (idxCounterSigner >= signer->csCounterSigners || signer->pasCounterSigners == nullptr) {
    return nullptr;
  }
  return &signer->pasCounterSigners[idxCounterSigner];
}

WINTRUST_EXPORT CRYPT_PROVIDER_CERT* WINAPI WTHelperGetProvCertFromChain(CRYPT_PROVIDER_SGNR* pSgnr, DWORD idxCert) {
  if (pSgnr == nullptr || idxCert >= pSgnr->csCertChain || pSgnr->pasCertChain == nullptr) {
    return nullptr;
  }
  return &pSgnr->pasCertChain[idxCert];
}
