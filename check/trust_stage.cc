#include "check/trust_stage.h"

#include "report/report_log.h"
#include "trust/function_origin.h"
#include "trust/trust_functions.h"
#include "trust/verify_signature.h"

void RunTrustStage(TrustPlatform& platform, const WideChar* target) {
  const platform::ModuleHandle module = platform.LoadTrustLibrary();
  if (module == nullptr) {
    LogWrite(WIDE("Fail LoadLibrary"));
    return;
  }

  const TrustFunctions functions = ResolveTrustFunctions(platform, module);

  // Every origin line is written before anything tests whether its lookup
  // succeeded; the report then shows which function was missing.
  ReportFunctionOrigin(platform, WIDE("WinVerifyTrustEx"), reinterpret_cast<const void*>(functions.winVerifyTrustEx));
  ReportFunctionOrigin(platform, WIDE("WTHelperProvDataFromStateData"),
                       reinterpret_cast<const void*>(functions.wtHelperProvDataFromStateData));
  ReportFunctionOrigin(platform, WIDE("WTHelperGetProvSignerFromChain"),
                       reinterpret_cast<const void*>(functions.wtHelperGetProvSignerFromChain));
  ReportFunctionOrigin(platform, WIDE("WTHelperGetProvCertFromChain"),
                       reinterpret_cast<const void*>(functions.wtHelperGetProvCertFromChain));

  RunVerificationStep(platform, target, functions);
  platform.ReleaseLibrary(module);
}
