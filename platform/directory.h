// Folders: what kind of thing a path names, and the names a folder holds.
#pragma once

#include <vector>

#include "platform/text.h"

namespace platform {

enum class PathKind {
  kMissing,    // nothing there, or it cannot be looked at
  kRegular,    // a regular file
  kDirectory,  // a folder
  kOther,      // a FIFO, device, socket, or a link to one of them
};

// What `path` names. A symbolic link is followed when `followLinks` is true;
// otherwise a link is kOther, whatever it points to, so a walk never enters
// a linked folder.
PathKind KindOfPath(const WideString& path, bool followLinks);

// The entries of the folder at `folder` ("." and ".." left out), as full
// paths joined with the platform's separator, in no particular order, with
// their kinds (links not followed). False when the folder cannot be read.
struct FolderEntry {
  WideString path;
  PathKind kind = PathKind::kMissing;
};
bool ListFolder(const WideString& folder, std::vector<FolderEntry>* entries);

}  // namespace platform
