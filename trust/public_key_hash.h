// The SHA-1 of a certificate's public-key bit string: the name the report and
// sigverify give the key that signed.
#pragma once

#include <cstdint>

#include "platform/trust_api.h"

void HashPublicKey(const CERT_INFO& info, uint8_t (&digest)[20]);
