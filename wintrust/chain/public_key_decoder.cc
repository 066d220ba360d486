#include "wintrust/chain/public_key_decoder.h"

#include <openssl/err.h>

#include "wintrust/base/library_context.h"

namespace wintrust {

PublicKeyDecoder::PublicKeyDecoder()
    : context_(OSSL_DECODER_CTX_new_for_pkey(&decoded_, "DER", "SubjectPublicKeyInfo", nullptr, EVP_PKEY_PUBLIC_KEY,
                                             ThreadLibraryContext(), nullptr)) {}

PublicKeyDecoder::~PublicKeyDecoder() {
  OSSL_DECODER_CTX_free(context_);
}

PublicKeyDecoder& PublicKeyDecoder::ForThisThread() {
  static thread_local PublicKeyDecoder decoder;
  return decoder;
}

EvpPkeyPtr PublicKeyDecoder::Decode(ByteView publicKeyInfo) {
  if (context_ == nullptr) return nullptr;
  ERR_set_mark();
  decoded_ = nullptr;
  const unsigned char* cursor = publicKeyInfo.data();
  size_t left = publicKeyInfo.size();
  bool read = OSSL_DECODER_from_data(context_, &cursor, &left) == 1;
  // Owned here whether or not the decoder says it succeeded.
  EvpPkeyPtr key(decoded_);
  decoded_ = nullptr;
  ERR_pop_to_mark();
  if (!read) key.reset();
  return key;
}

}  // namespace wintrust
