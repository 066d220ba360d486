#include "wintrust/trust_anchors.h"

#include <dlfcn.h>
#include <openssl/err.h>

#include <cstdlib>

namespace wintrust {
namespace {

uint32_t NameHash(const X509_NAME* name) {
  int ok = 0;
  return static_cast<uint32_t>(X509_NAME_hash_ex(name, nullptr, nullptr, &ok));
}

// The variables OpenSSL itself reads for its default locations; only they
// are read, never the compiled-in system paths.
X509StorePtr LoadUserRoots() {
  const char* file = secure_getenv("SSL_CERT_FILE");
  const char* dir = secure_getenv("SSL_CERT_DIR");
  if ((file == nullptr || *file == '\0') && (dir == nullptr || *dir == '\0')) return nullptr;
  X509StorePtr store(X509_STORE_new());
  if (!store) return nullptr;
  // A file or directory that does not exist adds nothing.
  if (file != nullptr && *file != '\0') X509_STORE_load_file(store.get(), file);
  if (dir != nullptr && *dir != '\0') X509_STORE_load_path(store.get(), dir);
  ERR_clear_error();
  return store;
}

}  // namespace

std::string InstalledRootIndexPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&InstalledRootIndexPath), &info) == 0 || info.dli_fname == nullptr) return {};
  std::string path = info.dli_fname;
  size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + kRootIndexFileName;
}

TrustAnchors::TrustAnchors(std::optional<RootIndex> index) : index_(std::move(index)), userRoots_(LoadUserRoots()) {}

std::vector<X509*> TrustAnchors::WithSubject(const X509_NAME* name) {
  uint32_t hash = NameHash(name);
  auto [found, added] = bySubjectHash_.try_emplace(hash);
  std::vector<X509Ptr>& roots = found->second;
  if (added) {
    if (index_) {
      for (const RootIndex::Entry& entry : index_->WithNameHash(hash)) {
        Bytes der = index_->Der(entry);
        const unsigned char* cursor = der.data();
        X509Ptr root(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
        if (root) roots.push_back(std::move(root));
      }
    }
    X509StoreCtxPtr context(userRoots_ ? X509_STORE_CTX_new() : nullptr);
    if (context && X509_STORE_CTX_init(context.get(), userRoots_.get(), nullptr, nullptr) == 1) {
      X509StackPtr users(X509_STORE_CTX_get1_certs(context.get(), name));
      while (users && sk_X509_num(users.get()) > 0) roots.emplace_back(sk_X509_shift(users.get()));
    }
    ERR_clear_error();
  }
  std::vector<X509*> matching;
  for (const X509Ptr& root : roots) {
    if (X509_NAME_cmp(X509_get_subject_name(root.get()), name) == 0) matching.push_back(root.get());
  }
  return matching;
}

const RootLimits* TrustAnchors::LimitsOf(X509* root) const {
  if (!index_) return nullptr;
  std::array<uint8_t, 20> thumbprint{};
  unsigned int length = 0;
  if (X509_digest(root, EVP_sha1(), thumbprint.data(), &length) != 1) return nullptr;
  for (const RootIndex::Entry& entry : index_->WithNameHash(NameHash(X509_get_subject_name(root)))) {
    if (entry.thumbprint == thumbprint) return &entry.limits;
  }
  return nullptr;
}

}  // namespace wintrust
