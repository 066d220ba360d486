// The four trust entry points the check resolves by name at run time.
#pragma once

#include "platform/trust_api.h"

// Each entry has the published type of its function and may be null.
struct TrustFunctions {
  decltype(&WinVerifyTrustEx) winVerifyTrustEx = nullptr;
  decltype(&WTHelperProvDataFromStateData) wtHelperProvDataFromStateData = nullptr;
  decltype(&WTHelperGetProvSignerFromChain) wtHelperGetProvSignerFromChain = nullptr;
  decltype(&WTHelperGetProvCertFromChain) wtHelperGetProvCertFromChain = nullptr;
};
