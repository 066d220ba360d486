// The files one run verifies, in the order their lines are printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/text.h"

struct Target {
  WideString path;
  // Set when the file is not to be handed to the trust service: the Win32
  // error that stands for it and the reason, for its line.
  uint32_t status = 0;
  std::string error;
};

// The paths as given, in their order; with `recursive`, a path naming a
// folder (or a link to one) is replaced by the regular files below it,
// depth first, each folder's entries sorted by name in code point order.
// Inside a walk, links to files are verified as the files, links to folders
// are passed by, and entries that are not regular files, vanish, or cannot
// be listed become targets with an error, so the walk goes on past them.
std::vector<Target> ListTargets(const std::vector<WideString>& paths, bool recursive);
