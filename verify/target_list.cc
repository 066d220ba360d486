#include "verify/target_list.h"

#include <algorithm>

#include "platform/directory.h"
#include "platform/utf8.h"

namespace {

// The Win32 errors WinTrust itself gives for such files.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;

std::string Utf8(const WideString& text) {
  return platform::EncodeUtf8(text.data(), text.size());
}

void Walk(const WideString& folder, std::vector<Target>* targets) {
  std::vector<platform::FolderEntry> entries;
  if (!platform::ListFolder(folder, &entries)) {
    targets->push_back({folder, kErrorAccessDenied, "the folder cannot be read"});
    return;
  }
  // UTF-8 orders as code points do, the same on both platforms.
  std::vector<std::pair<std::string, platform::FolderEntry>> named;
  named.reserve(entries.size());
  for (platform::FolderEntry& entry : entries) named.emplace_back(Utf8(entry.path), std::move(entry));
  std::sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [name, entry] : named) {
    switch (entry.kind) {
      case platform::PathKind::kRegular:
        targets->push_back({std::move(entry.path), 0, {}});
        break;
      case platform::PathKind::kDirectory:
        Walk(entry.path, targets);
        break;
      case platform::PathKind::kLinkedFolder:
        // Not followed, and not a file: passed by without a line.
        break;
      case platform::PathKind::kOther:
        targets->push_back({std::move(entry.path), kErrorAccessDenied, "not a regular file, skipped"});
        break;
      case platform::PathKind::kMissing:
        targets->push_back({std::move(entry.path), kErrorFileNotFound, "the file vanished during the walk"});
        break;
    }
  }
}

}  // namespace

std::vector<Target> ListTargets(const std::vector<WideString>& paths, bool recursive) {
  std::vector<Target> targets;
  for (const WideString& path : paths) {
    // A path given by the user is followed through links, as it would be
    // opened; only what a walk finds is looked at without following.
    const bool folder = platform::KindOfPath(path) == platform::PathKind::kDirectory;
    if (folder && recursive) {
      Walk(path, &targets);
    } else if (folder) {
      targets.push_back({path, kErrorAccessDenied, "a folder (use -r to verify the files in it)"});
    } else {
      targets.push_back({path, 0, {}});
    }
  }
  return targets;
}
