#include <windows.h>

#include <memory>

#include "platform/directory.h"

namespace platform {
namespace {

// A folder that is a reparse point (symbolic link, junction) is never
// entered by a walk.
PathKind KindOfAttributes(DWORD attributes, bool followLinks) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    const bool linked = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return linked && !followLinks ? PathKind::kLinkedFolder : PathKind::kDirectory;
  }
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::kOther;
  return PathKind::kRegular;
}

struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};

}  // namespace

PathKind KindOfPath(const WideString& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return KindOfAttributes(attributes, true);
}

bool ListFolder(const WideString& folder, std::vector<FolderEntry>* entries) {
  const WideString prefix = folder.empty() || folder.back() == L'\\' || folder.back() == L'/' ? folder : folder + L"\\";
  WIN32_FIND_DATAW found;
  HANDLE first = FindFirstFileW((prefix + L"*").c_str(), &found);
  if (first == INVALID_HANDLE_VALUE) return false;
  const std::unique_ptr<void, FindCloser> search(first);
  do {
    const WideString name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    entries->push_back({prefix + name, KindOfAttributes(found.dwFileAttributes, false)});
  } while (FindNextFileW(first, &found));
  return true;
}

}  // namespace platform
