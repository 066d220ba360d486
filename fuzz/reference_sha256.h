// SHA-256 of bytes held whole: the reference the streaming digests of the
// subject readers are compared with.
#pragma once

#include <openssl/evp.h>

#include "fuzz/fuzz_check.h"
#include "wintrust/base/byte_view.h"

inline wintrust::Bytes ReferenceSha256(const void* data, size_t size) {
  wintrust::Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  FUZZ_CHECK(EVP_Digest(data, size, out.data(), &length, EVP_sha256(), nullptr) == 1);
  out.resize(length);
  return out;
}
