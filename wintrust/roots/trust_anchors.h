// The roots a chain may end at. The program's roots come from the index the
// build installs beside the library (root_index.h), each with the limits the
// trust list gives it; the roots a user adds through SSL_CERT_FILE and
// SSL_CERT_DIR come on top, without limits, as a root an administrator adds
// to the machine's store. Nothing else is trusted: the system's TLS store is
// not read. A root is decoded only when a chain asks for its subject name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "wintrust/base/openssl_ptr.h"
#include "wintrust/roots/root_index.h"

namespace wintrust {

// The file name of the index, beside libwintrust.so.
constexpr char kRootIndexFileName[] = "root-program.idx";

// The index path beside the file this code was loaded from; empty when the
// loader cannot tell.
std::string InstalledRootIndexPath();

// The index at InstalledRootIndexPath(), opened by the first caller and then
// shared, read-only, by every verification of the process, from any thread;
// null, for good, when it is missing, cut short or damaged. Its roots are
// read back by position (pread), so sharing it shares no file offset.
const RootIndex* InstalledRootIndex();

// A PEM file of roots a user names, indexed by the hash of each
// certificate's subject name and decoded only when a chain asks for that
// name: a bundle of a hundred thousand roots costs a pass over its base64,
// not the decoding of every key. Read here rather than through OpenSSL's
// file lookup, which empties the thread's whole error queue at the end of a
// file and with it the mark that keeps the caller's errors
// (wintrust_exports.cc); what this queues is popped back to that mark.
class UserRootFile {
 public:
  // The certificates of the PEM file at `path`, blocks labelled CERTIFICATE,
  // X509 CERTIFICATE or TRUSTED CERTIFICATE up to the first of them that is
  // not base64 of a certificate's layout; none when the file cannot be
  // read, is not a regular file (a FIFO, a device or a directory would
  // block or never end) or is larger than 64 MiB.
  static UserRootFile Read(const std::string& path);

  bool empty() const { return bySubjectHash_.empty(); }

  // The certificates whose subject name hashes to `hash` (NameHash), in the
  // file's order, decoded now; one that OpenSSL cannot decode is left out.
  std::vector<X509Ptr> WithNameHash(uint32_t hash) const;

 private:
  struct Block {
    size_t offset;  // in der_
    size_t length;
  };
  Bytes der_;
  std::unordered_multimap<uint32_t, Block> bySubjectHash_;
};

// The roots file at `path`, read and indexed once while the path and the
// file's identity (device, inode, size, modification and change times) stay
// the same, then shared, read-only, by the verifications of every thread:
// read for each of many files, a bundle of a few hundred roots cost four
// times the verification itself.
std::shared_ptr<const UserRootFile> SharedUserRootFile(const std::string& path);

class TrustAnchors {
 public:
  // The program's roots from `index` (none when it is null), which must
  // outlive this object, and the roots the user adds, read from the
  // environment now. Only this object's own caches change as chains ask
  // for roots: one index serves the anchors of many threads at once.
  explicit TrustAnchors(const RootIndex* index);
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
  const RootIndex* index_;
  // The roots of SSL_CERT_FILE, indexed at once; the directories of
  // SSL_CERT_DIR, looked into by subject-name hash when a chain asks.
  std::shared_ptr<const UserRootFile> userFileRoots_;
  std::vector<std::string> userRootDirectories_;
  // Every root decoded so far, grouped by the hash of its subject name.
  std::map<uint32_t, std::vector<X509Ptr>> bySubjectHash_;
  bool indexDamaged_ = false;
};

}  // namespace wintrust
