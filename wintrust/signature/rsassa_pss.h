// The RSASSA-PSS signature algorithm (RFC 4055) of a SignerInfo: its object
// identifier and its parameters, read with the DER reader.
#pragma once

#include <openssl/evp.h>

#include "wintrust/base/byte_view.h"

namespace wintrust {

// True when `oid` (OID content octets) is id-RSASSA-PSS.
bool IsRsassaPss(ByteView oid);

struct PssParameters {
  const EVP_MD* hash = nullptr;      // the message hash
  const EVP_MD* maskHash = nullptr;  // MGF1's hash
  int saltLength = 0;
};

enum class PssRead {
  kOk,
  kUnsupportedDigest,  // a hash outside the digest policy (DigestForOid)
  kMalformed,          // absent, not DER, another mask generation function,
                       // a salt length out of range, a trailer other than 1
};

// Reads RSASSA-PSS-params ::= SEQUENCE { hashAlgorithm [0] DEFAULT sha1,
//   maskGenAlgorithm [1] DEFAULT mgf1SHA1, saltLength [2] DEFAULT 20,
//   trailerField [3] DEFAULT 1 } from its whole element.
PssRead ReadPssParameters(ByteView element, PssParameters* out);

}  // namespace wintrust
