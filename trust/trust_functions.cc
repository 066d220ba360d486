#include "trust/trust_functions.h"

#include "trust/trust_platform.h"

namespace {

template <typename Function>
void Resolve(TrustPlatform& platform, platform::ModuleHandle module, const char* name, Function& entry) {
  entry = reinterpret_cast<Function>(platform.FindExport(module, name));
}

}  // namespace

TrustFunctions ResolveTrustFunctions(TrustPlatform& platform, platform::ModuleHandle module) {
  TrustFunctions functions;
  Resolve(platform, module, "WinVerifyTrustEx", functions.winVerifyTrustEx);
  Resolve(platform, module, "WTHelperProvDataFromStateData", functions.wtHelperProvDataFromStateData);
  Resolve(platform, module, "WTHelperGetProvSignerFromChain", functions.wtHelperGetProvSignerFromChain);
  Resolve(platform, module, "WTHelperGetProvCertFromChain", functions.wtHelperGetProvCertFromChain);
  return functions;
}
