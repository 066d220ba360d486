#include "wintrust/roots/trust_anchors.h"

#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "wintrust/base/file_source.h"

namespace wintrust {
namespace {

uint32_t NameHash(const X509_NAME* name) {
  int ok = 0;
  return static_cast<uint32_t>(X509_NAME_hash_ex(name, nullptr, nullptr, &ok));
}

// Far above any bundle of roots; bounds what a file named by the user's
// environment can make a verification read.
constexpr uint64_t kMaxUserRootFileSize = uint64_t{64} << 20;

// Every certificate in the PEM file at `path`; none when it cannot be read,
// is not a regular file (a FIFO, a device or a directory would block or
// never end) or is larger than the cap. Read here rather than through
// OpenSSL's file lookup, which empties the thread's whole error queue at the
// end of a file and with it the mark that keeps the caller's errors
// (wintrust_exports.cc); what this queues is popped back to that mark.
std::vector<X509Ptr> ReadPemCertificates(const std::string& path) {
  std::vector<X509Ptr> certificates;
  if (path.empty()) return certificates;
  FileOpenError error;
  std::unique_ptr<FileSource> file = FileSource::Open(path, &error);
  if (!file || file->size() > kMaxUserRootFileSize) return certificates;
  Bytes text(file->size());
  if (!file->Read(0, text)) return certificates;
  BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) return certificates;
  while (X509* certificate = PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(certificate);
  }
  return certificates;
}

// The value of the variable OpenSSL itself reads for a default location;
// empty when unset. The compiled-in system paths are never read.
std::string Variable(const char* name) {
  const char* value = secure_getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The directories of SSL_CERT_DIR, separated by colons as OpenSSL reads it.
std::vector<std::string> UserRootDirectories() {
  std::vector<std::string> directories;
  std::string list = Variable("SSL_CERT_DIR");
  for (size_t start = 0; start <= list.size();) {
    size_t end = std::min(list.find(':', start), list.size());
    if (end > start) directories.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return directories;
}

// The roots a hashed directory holds for subject-name hash `hash`: the files
// HASH.0, HASH.1, ... up to the first that is missing, as OpenSSL's
// directory lookup reads them.
void AddFromHashedDirectory(const std::string& directory, uint32_t hash, std::vector<X509Ptr>* roots) {
  char name[32];
  for (int suffix = 0;; ++suffix) {
    std::snprintf(name, sizeof name, "/%08x.%d", hash, suffix);
    std::vector<X509Ptr> found = ReadPemCertificates(directory + name);
    if (found.empty()) return;
    for (X509Ptr& root : found) roots->push_back(std::move(root));
  }
}

}  // namespace

std::string InstalledRootIndexPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&InstalledRootIndexPath), &info) == 0 || info.dli_fname == nullptr) return {};
  std::string path = info.dli_fname;
  size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + kRootIndexFileName;
}

TrustAnchors::TrustAnchors(std::optional<RootIndex> index)
    : index_(std::move(index)),
      userFileRoots_(ReadPemCertificates(Variable("SSL_CERT_FILE"))),
      userRootDirectories_(UserRootDirectories()) {}

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
        // A root that cannot be read back as its entry's certificate is
        // never used in its place; the index is damaged.
        if (root) {
          roots.push_back(std::move(root));
        } else {
          indexDamaged_ = true;
        }
      }
    }
    for (const X509Ptr& root : userFileRoots_) {
      if (X509_up_ref(root.get()) == 1) roots.emplace_back(root.get());
    }
    for (const std::string& directory : userRootDirectories_) AddFromHashedDirectory(directory, hash, &roots);
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
