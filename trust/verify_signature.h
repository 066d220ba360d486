// Authenticode verification of the target through the trust functions.
#pragma once

#include "platform/text.h"
#include "trust/trust_functions.h"
#include "trust/trust_platform.h"

// Asks the trust service whether the file at `path` carries a valid, trusted
// signature and writes the outcome into the report: the failing status, a
// failed lookup, or "PublicKeyHash: <sha1>" of the signing certificate's
// public key. Returns true only when that line was written. The verification
// state is closed exactly once on every path, through the platform's
// load-time binding. All four `functions` must be non-null.
bool VerifyFileSignature(TrustPlatform& platform, const WideChar* path, const TrustFunctions& functions);

// Verifies through VerifyFileSignature when all four functions resolved and
// writes "CHECK SUCCESS" when it succeeds; does nothing otherwise.
void RunVerificationStep(TrustPlatform& platform, const WideChar* path, const TrustFunctions& functions);
