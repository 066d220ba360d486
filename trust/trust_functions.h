// The four trust entry points the check resolves by name at run time.
#pragma once

#include "platform/loader.h"
#include "platform/trust_api.h"

// Each entry has the published type of its function and may be null.
struct TrustFunctions {
  decltype(&WinVerifyTrustEx) winVerifyTrustEx = nullptr;
  decltype(&WTHelperProvDataFromStateData) wtHelperProvDataFromStateData = nullptr;
  decltype(&WTHelperGetProvSignerFromChain) wtHelperGetProvSignerFromChain = nullptr;
  decltype(&WTHelperGetProvCertFromChain) wtHelperGetProvCertFromChain = nullptr;
};

class TrustPlatform;

// The four entries of the loaded `module`, each looked up by its name
// through `platform`; those not found stay null.
TrustFunctions ResolveTrustFunctions(TrustPlatform& platform, platform::ModuleHandle module);
