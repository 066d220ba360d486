// Folders: what kind of thing a path names, and the names a folder holds.
#pragma once

#include <vector>

#include "platform/text.h"

namespace platform {

enum class PathKind {
  kMissing,       // nothing there, or it cannot be looked at
  kRegular,       // a regular file
  kDirectory,     // a folder
  kOther,         // a FIFO, device, socket, or a link to one of them
  kLinkedFolder,  // a symbolic link to a folder, seen without following
};

// What `path` names, following symbolic links.
PathKind KindOfPath(const WideString& path);

// The entries of the folder at `folder` ("." and ".." left out), as full
// paths joined with the platform's separator, in no particular order, with
// their kinds: a link is the kind of what it points to, except that a link
// to a folder is kLinkedFolder, so a walk can pass it by and never loop.
// False when the folder cannot be read.
struct FolderEntry {
  WideString path;
  PathKind kind = PathKind::kMissing;
};
bool ListFolder(const WideString& folder, std::vector<FolderEntry>* entries);

}  // namespace platform
