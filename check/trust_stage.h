// The last stage of the check: load the trust library, report where each
// trust function lies, verify the target's signature, release the library.
#pragma once

#include "platform/text.h"
#include "trust/trust_platform.h"

// Writes "Fail LoadLibrary" (no line end) when the library cannot be loaded;
// otherwise the four origin lines and the verification's texts. Releases the
// library on every path that loaded it.
void RunTrustStage(TrustPlatform& platform, const WideChar* target);
