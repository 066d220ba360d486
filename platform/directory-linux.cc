#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "platform/directory.h"
#include "platform/utf8.h"

namespace platform {
namespace {

PathKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return PathKind::kRegular;
  if (S_ISDIR(mode)) return PathKind::kDirectory;
  return PathKind::kOther;
}

struct FolderCloser {
  void operator()(DIR* folder) const { closedir(folder); }
};

}  // namespace

PathKind KindOfPath(const WideString& path) {
  const std::string bytes = EncodeUtf8(path.data(), path.size());
  struct stat status;
  return stat(bytes.c_str(), &status) != 0 ? PathKind::kMissing : KindOfMode(status.st_mode);
}

bool ListFolder(const WideString& folder, std::vector<FolderEntry>* entries) {
  const std::string base = EncodeUtf8(folder.data(), folder.size());
  const std::unique_ptr<DIR, FolderCloser> listing(opendir(base.c_str()));
  if (!listing) return false;
  const std::string prefix = base.empty() || base.back() == '/' ? base : base + "/";
  while (const dirent* entry = readdir(listing.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = prefix + name;
    // An entry that vanished between the listing and the look, or a link
    // that leads nowhere, is kept as missing, so its line says so.
    struct stat status;
    PathKind kind = lstat(path.c_str(), &status) != 0 ? PathKind::kMissing : KindOfMode(status.st_mode);
    if (S_ISLNK(status.st_mode) && kind == PathKind::kOther) {
      kind = stat(path.c_str(), &status) != 0 ? PathKind::kMissing : KindOfMode(status.st_mode);
      if (kind == PathKind::kDirectory) kind = PathKind::kLinkedFolder;
    }
    entries->push_back({DecodeUtf8(path), kind});
  }
  return true;
}

}  // namespace platform
