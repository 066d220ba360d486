#include "trust/trust_platform.h"

platform::ModuleHandle RealTrustPlatform::LoadTrustLibrary() {
  return platform::LoadTrustLibrary();
}

void* RealTrustPlatform::FindExport(platform::ModuleHandle module, const char* name) {
  return platform::FindExport(module, name);
}

void RealTrustPlatform::ReleaseLibrary(platform::ModuleHandle module) {
  platform::ReleaseLibrary(module);
}

uint32_t RealTrustPlatform::GetMappedFilePath(const void* address, WideChar* buffer, uint32_t capacity) {
  return platform::GetMappedFilePath(address, buffer, capacity);
}

HRESULT RealTrustPlatform::CloseVerification(GUID* action, WINTRUST_DATA* request) {
  // The direct call binds to the import the linker records in the executable.
  return WinVerifyTrustEx(nullptr, action, request);
}
