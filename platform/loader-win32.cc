#include "platform/loader.h"

#include <windows.h>

// Needs the types of <windows.h> first.
#include <psapi.h>

#include "platform/process.h"

namespace platform {

ModuleHandle LoadTrustLibrary() {
  return LoadLibraryW(kTrustLibraryFileName);
}

void* FindExport(ModuleHandle module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void ReleaseLibrary(ModuleHandle module) {
  FreeLibrary(static_cast<HMODULE>(module));
}

uint32_t GetMappedFilePath(const void* address, WideChar* buffer, uint32_t capacity) {
  return GetMappedFileNameW(GetCurrentProcess(), const_cast<void*>(address), buffer, capacity);
}

}  // namespace platform
