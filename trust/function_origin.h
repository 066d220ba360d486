// Which mapped file supplies the code of a resolved trust function.
#pragma once

#include "platform/text.h"
#include "trust/trust_platform.h"

// Writes one report line for the function labelled `label` at `address`:
// "<label> NULL" for a null address (the platform is not asked),
// "<label> Path: <path>" with the mapped file's path as the platform gives it,
// or "<label> Unexcept" when no file is mapped there.
void ReportFunctionOrigin(TrustPlatform& platform, const WideChar* label, const void* address);
