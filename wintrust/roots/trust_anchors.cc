#include "wintrust/roots/trust_anchors.h"

#include <dlfcn.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include "wintrust/base/certificate_names.h"
#include "wintrust/base/file_source.h"
#include "wintrust/base/library_context.h"

namespace wintrust {
namespace {

// Far above any bundle of roots; bounds what a file named by the user's
// environment can make a verification read.
constexpr uint64_t kMaxUserRootFileSize = uint64_t{64} << 20;

// The PEM labels OpenSSL reads a certificate from; other blocks (keys,
// requests) are passed over.
bool CertificateLabel(std::string_view label) {
  return label == "CERTIFICATE" || label == "X509 CERTIFICATE" || label == "TRUSTED CERTIFICATE";
}

// Appends the base64 `body` decoded to `out`; false when it is not base64
// (a block with headers, such as an encrypted one, is not).
bool DecodeBase64(std::string_view body, Bytes* out) {
  std::unique_ptr<EVP_ENCODE_CTX, OpenSslDeleter<EVP_ENCODE_CTX_free>> context(EVP_ENCODE_CTX_new());
  if (!context || body.size() > static_cast<size_t>(INT32_MAX)) return false;
  size_t start = out->size();
  out->resize(start + body.size() / 4 * 3 + 3);
  int written = 0, last = 0;
  EVP_DecodeInit(context.get());
  if (EVP_DecodeUpdate(context.get(), out->data() + start, &written,
                       reinterpret_cast<const unsigned char*>(body.data()), static_cast<int>(body.size())) < 0 ||
      EVP_DecodeFinal(context.get(), out->data() + start + written, &last) != 1) {
    out->resize(start);
    return false;
  }
  out->resize(start + static_cast<size_t>(written + last));
  return true;
}

}  // namespace

UserRootFile UserRootFile::Read(const std::string& path) {
  UserRootFile roots;
  if (path.empty()) return roots;
  FileOpenError error;
  std::unique_ptr<FileSource> file = FileSource::Open(path, &error);
  if (!file || file->size() > kMaxUserRootFileSize) return roots;
  Bytes bytes(file->size());
  if (!file->Read(0, bytes)) return roots;
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  static constexpr std::string_view kBegin = "-----BEGIN ", kDashes = "-----", kEnd = "-----END ";
  // Read as OpenSSL's PEM reader reads the file, up to the first block of a
  // certificate label that does not decode; only the subject of each
  // certificate is read now. Every block decodes to at most its own size,
  // so the decoded bytes never outgrow the file.
  roots.der_.reserve(bytes.size());
  for (size_t at = text.find(kBegin); at != std::string_view::npos; at = text.find(kBegin, at)) {
    size_t labelStart = at + kBegin.size();
    size_t labelEnd = text.find(kDashes, labelStart);
    if (labelEnd == std::string_view::npos) break;
    std::string_view label = text.substr(labelStart, labelEnd - labelStart);
    size_t bodyStart = labelEnd + kDashes.size();
    std::string closing = std::string(kEnd) + std::string(label) + std::string(kDashes);
    size_t bodyEnd = text.find(closing, bodyStart);
    if (bodyEnd == std::string_view::npos) break;
    at = bodyEnd + closing.size();
    if (!CertificateLabel(label)) continue;
    std::string_view body = text.substr(bodyStart, bodyEnd - bodyStart);
    size_t derStart = roots.der_.size();
    CertificateFields fields;
    if (body.find(':') != std::string_view::npos || !DecodeBase64(body, &roots.der_) ||
        !ReadCertificateFields(ByteView(roots.der_).subspan(derStart), &fields)) {
      roots.der_.resize(derStart);
      break;
    }
    std::optional<uint32_t> hash = NameHash(fields.subject);
    if (!hash) {
      roots.der_.resize(derStart);
      break;
    }
    roots.bySubjectHash_.emplace(*hash, Block{derStart, roots.der_.size() - derStart});
  }
  roots.der_.shrink_to_fit();
  return roots;
}

std::vector<X509Ptr> UserRootFile::WithNameHash(uint32_t hash) const {
  auto [first, last] = bySubjectHash_.equal_range(hash);
  std::vector<Block> blocks;
  for (auto it = first; it != last; ++it) blocks.push_back(it->second);
  std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.offset < b.offset; });
  std::vector<X509Ptr> roots;
  for (const Block& block : blocks) {
    X509Ptr root = DecodeCertificateWithTrust(ByteView(der_).subspan(block.offset, block.length));
    if (root) roots.push_back(std::move(root));
  }
  return roots;
}

std::shared_ptr<const UserRootFile> SharedUserRootFile(const std::string& path) {
  // A file not found has an identity of zeros.
  struct Identity {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{}, changed{};
    bool operator==(const Identity& other) const {
      return path == other.path && device == other.device && inode == other.inode && size == other.size &&
             modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
             changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
  };
  struct Last {
    std::mutex mutex;
    Identity identity;
    std::shared_ptr<const UserRootFile> roots;
  };
  // Never destroyed, as the root index: a verification may still run on
  // another thread while the process exits.
  static Last* const last = new Last();
  Identity identity{path};
  struct stat status {};
  // stat does not open the file, so a FIFO named here does not block.
  if (!path.empty() && stat(path.c_str(), &status) == 0) {
    identity = {path, status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
  }
  std::lock_guard<std::mutex> lock(last->mutex);
  if (!last->roots || last->identity != identity) {
    last->roots = std::make_shared<const UserRootFile>(UserRootFile::Read(path));
    last->identity = identity;
  }
  return last->roots;
}

namespace {

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
    UserRootFile file = UserRootFile::Read(directory + name);
    if (file.empty()) return;
    for (X509Ptr& root : file.WithNameHash(hash)) roots->push_back(std::move(root));
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

const RootIndex* InstalledRootIndex() {
  // Opened once, however many files and threads follow: the index never
  // changes while the program runs, and the first verification's answer
  // (the index is there or it is not) holds for every later one.
  // Never destroyed: a verification may still run on another thread while
  // the process exits.
  static const RootIndex* const index = [] {
    std::optional<RootIndex> opened = RootIndex::Open(InstalledRootIndexPath());
    return opened ? new RootIndex(std::move(*opened)) : nullptr;
  }();
  return index;
}

TrustAnchors::TrustAnchors(const RootIndex* index)
    : index_(index),
      userFileRoots_(SharedUserRootFile(Variable("SSL_CERT_FILE"))),
      userRootDirectories_(UserRootDirectories()) {}

std::vector<X509*> TrustAnchors::WithSubject(const X509_NAME* name) {
  uint32_t hash = NameHash(name);
  auto [found, added] = bySubjectHash_.try_emplace(hash);
  std::vector<X509Ptr>& roots = found->second;
  if (added) {
    if (index_) {
      for (const RootIndex::Entry& entry : index_->WithNameHash(hash)) {
        Bytes der = index_->Der(entry);
        X509Ptr root = DecodeCertificate(der);
        // A root that cannot be read back as its entry's certificate is
        // never used in its place; the index is damaged.
        if (root) {
          roots.push_back(std::move(root));
        } else {
          indexDamaged_ = true;
        }
      }
    }
    for (X509Ptr& root : userFileRoots_->WithNameHash(hash)) roots.push_back(std::move(root));
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
  if (X509_digest(root, ThreadDigest(EVP_sha1()), thumbprint.data(), &length) != 1) return nullptr;
  for (const RootIndex::Entry& entry : index_->WithNameHash(NameHash(X509_get_subject_name(root)))) {
    if (entry.thumbprint == thumbprint) return &entry.limits;
  }
  return nullptr;
}

}  // namespace wintrust
