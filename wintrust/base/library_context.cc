#include "wintrust/base/library_context.h"

#include <openssl/provider.h>

#include <utility>
#include <vector>

namespace wintrust {
namespace {

class ThreadContext {
 public:
  ThreadContext() : context_(OSSL_LIB_CTX_new()) {
    provider_ = context_ ? OSSL_PROVIDER_load(context_, "default") : nullptr;
    if (provider_ == nullptr) {
      OSSL_LIB_CTX_free(context_);
      context_ = nullptr;
    }
  }
  ~ThreadContext() {
    for (auto& [type, md] : digests_) EVP_MD_free(md);
    OSSL_PROVIDER_unload(provider_);
    OSSL_LIB_CTX_free(context_);
  }
  ThreadContext(const ThreadContext&) = delete;
  ThreadContext& operator=(const ThreadContext&) = delete;

  OSSL_LIB_CTX* context() const { return context_; }

  const EVP_MD* Digest(const EVP_MD* md) {
    int type = EVP_MD_get_type(md);
    for (const auto& [known, fetched] : digests_) {
      if (known == type) return fetched;
    }
    EVP_MD* fetched = EVP_MD_fetch(context_, EVP_MD_get0_name(md), nullptr);
    // Without a fetch of its own the thread still gets the right algorithm,
    // at the shared context's price.
    if (fetched == nullptr) return md;
    digests_.emplace_back(type, fetched);
    return fetched;
  }

 private:
  OSSL_LIB_CTX* context_;
  OSSL_PROVIDER* provider_ = nullptr;
  std::vector<std::pair<int, EVP_MD*>> digests_;
};

ThreadContext& Current() {
  static thread_local ThreadContext context;
  return context;
}

}  // namespace

OSSL_LIB_CTX* ThreadLibraryContext() {
  return Current().context();
}

const EVP_MD* ThreadDigest(const EVP_MD* md) {
  return md == nullptr ? nullptr : Current().Digest(md);
}

X509Ptr DecodeCertificate(ByteView der) {
  const unsigned char* cursor = der.data();
  return X509Ptr(reinterpret_cast<X509*>(ASN1_item_d2i_ex(nullptr, &cursor, static_cast<long>(der.size()),
                                                          ASN1_ITEM_rptr(X509), ThreadLibraryContext(), nullptr)));
}

X509Ptr DecodeCertificateWithTrust(ByteView der) {
  const unsigned char* cursor = der.data();
  const long length = static_cast<long>(der.size());
  X509* certificate = X509_new_ex(ThreadLibraryContext(), nullptr);
  // d2i_X509_AUX frees and clears the certificate when its body does not
  // decode, and leaves it to the caller when the trust settings do not.
  bool read = certificate != nullptr && d2i_X509_AUX(&certificate, &cursor, length) != nullptr;
  X509Ptr owned(certificate);
  if (read) return owned;
  // Decoded into a prepared certificate, one whose extensions OpenSSL cannot
  // read is refused outright; decoded alone, as before, it is kept for the
  // chain policy to judge, at the shared context's price.
  cursor = der.data();
  return X509Ptr(d2i_X509_AUX(nullptr, &cursor, length));
}

}  // namespace wintrust
