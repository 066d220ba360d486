// The roots Windows requires and ships in its own store (the list beside the
// program's snapshot, roots/required-roots.txt): Windows anchors chains on
// its own copy of each, with the usages it ships that copy with, and the
// program's limits on its entry do not reach it (docs/DESIGN.md, "Roots
// Windows ships itself"). Read at build time, when the roots' index is made.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wintrust/root_indexer/trust_list.h"

namespace wintrust {

struct RequiredRoot {
  std::array<uint8_t, 20> thumbprint{};  // SHA-1 of the certificate's DER
  UsageList usages;                      // absent: every usage
};

// Reads the list: one root a line, its SHA-1 thumbprint in hexadecimal, its
// usages ("all", or "code-signing" and "time-stamping" joined by a comma)
// and its name, separated by blanks; '#' starts a comment. Nothing, with the
// line and the reason in `error`, when a line is not such a root or names a
// root twice.
std::optional<std::vector<RequiredRoot>> ReadRequiredRoots(std::string_view text, std::string* error);

// Gives each root of `listed` that `required` names the limits of Windows'
// own copy: its usages, and none of the program's dates or withdrawn
// usages. False, with the reason in `error`, when a required root is not
// among `listed`.
bool ApplyRequiredRoots(const std::vector<RequiredRoot>& required, std::vector<ListedRoot>* listed, std::string* error);

}  // namespace wintrust
