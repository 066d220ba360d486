// The roots a chain may end at. The program's roots come from the index the
// build installs beside the library (root_index.h), each with the limits the
// trust list gives it; the roots a user adds through SSL_CERT_FILE and
// SSL_CERT_DIR come on top, without limits, as a root an administrator adds
// to the machine's store. Nothing else is trusted: the system's TLS store is
// not read. A root is decoded only when a chain asks for its subject name.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/roots/root_index.h"

namespace wintrust {

// The file name of the index, beside libwintrust.so.
constexpr char kRootIndexFileName[] = "root-program.idx";

// The index path beside the file this code was loaded from; empty when the
// loader cannot tell.
std::string InstalledRootIndexPath();

class TrustAnchors {
 public:
  // The program's roots from `index` (none when it is empty) and the roots
  // the user adds, read from the environment now.
  explicit TrustAnchors(std::optional<RootIndex> index);
  TrustAnchors(const TrustAnchors&) = delete;
  TrustAnchors& operator=(const TrustAnchors&) = delete;

  // The roots whose subject is `name`, the program's first; they live as
  // long as this object.
  std::vector<X509*> WithSubject(const X509_NAME* name);

  // The limits of `root` when it is one of the program's roots; null
  // otherwise, also for a root the user added.
  const RootLimits* LimitsOf(X509* root) const;

  // Whether a root the index lists could not be read back as the
  // certificate its entry names: the installation is damaged, and no
  // verdict reached without that root can be trusted.
  bool indexDamaged() const { return indexDamaged_; }

 private:
  std::optional<RootIndex> index_;
  // The roots of SSL_CERT_FILE, read at once; the directories of
  // SSL_CERT_DIR, looked into by subject-name hash when a chain asks.
  std::vector<X509Ptr> userFileRoots_;
  std::vector<std::string> userRootDirectories_;
  // Every root decoded so far, grouped by the hash of its subject name.
  std::map<uint32_t, std::vector<X509Ptr>> bySubjectHash_;
  bool indexDamaged_ = false;
};

}  // namespace wintrust
