// Decodes the public keys of candidate issuers from their raw
// SubjectPublicKeyInfo, so that a candidate's signature check needs no
// decoding of its certificate. OpenSSL 3 builds a decoder context for every
// key it decodes inside a certificate, and that costs several signature
// checks; one context, built once per thread and used for every key of
// every verification the thread runs, costs a fraction of one check and
// gives the keys d2i_X509 would.
#pragma once

#include <openssl/decoder.h>

#include "wintrust/base/byte_view.h"
#include "wintrust/base/openssl_ptr.h"

namespace wintrust {

class PublicKeyDecoder {
 public:
  PublicKeyDecoder();
  ~PublicKeyDecoder();
  // The calling thread's decoder, in the thread's library context: a
  // context may not be shared between threads.
  static PublicKeyDecoder& ForThisThread();
  PublicKeyDecoder(const PublicKeyDecoder&) = delete;
  PublicKeyDecoder& operator=(const PublicKeyDecoder&) = delete;

  // The key of `publicKeyInfo` (a SubjectPublicKeyInfo element, whole);
  // null when OpenSSL cannot read it. Errors are left off OpenSSL's queue.
  EvpPkeyPtr Decode(ByteView publicKeyInfo);

 private:
  EVP_PKEY* decoded_ = nullptr;  // where the context puts each key
  OSSL_DECODER_CTX* context_ = nullptr;
};

}  // namespace wintrust
