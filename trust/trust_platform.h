// The platform services that the trust stage, the origin report and the
// signature verification use. The check runs on RealTrustPlatform; tests put
// fakes in its place to reach every path without a trust library.
#pragma once

#include <cstdint>

#include "platform/loader.h"
#include "platform/text.h"
#include "platform/trust_api.h"

class TrustPlatform {
 public:
  virtual ~TrustPlatform() = default;

  // Loads the trust library by its bare name; null on failure.
  virtual platform::ModuleHandle LoadTrustLibrary() = 0;
  // The named export of `module`, or null.
  virtual void* FindExport(platform::ModuleHandle module, const char* name) = 0;
  virtual void ReleaseLibrary(platform::ModuleHandle module) = 0;
  // See platform::GetMappedFilePath.
  virtual uint32_t GetMappedFilePath(const void* address, WideChar* buffer, uint32_t capacity) = 0;
  // Closes a verification through the executable's load-time import of
  // WinVerifyTrustEx, not through the entry resolved at run time.
  virtual HRESULT CloseVerification(GUID* action, WINTRUST_DATA* request) = 0;
};

class RealTrustPlatform : public TrustPlatform {
 public:
  platform::ModuleHandle LoadTrustLibrary() override;
  void* FindExport(platform::ModuleHandle module, const char* name) override;
  void ReleaseLibrary(platform::ModuleHandle module) override;
  uint32_t GetMappedFilePath(const void* address, WideChar* buffer, uint32_t capacity) override;
  HRESULT CloseVerification(GUID* action, WINTRUST_DATA* request) override;
};
