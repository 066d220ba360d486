#include "wintrust/root_indexer/required_roots.h"

#include <algorithm>
#include <set>

namespace wintrust {
namespace {

constexpr std::string_view kBlanks = " \t\r";

// The next blank-separated word of `line` from `*at`, moving past it.
std::string_view NextWord(std::string_view line, size_t* at) {
  size_t start = line.find_first_not_of(kBlanks, *at);
  if (start == std::string_view::npos) {
    *at = line.size();
    return {};
  }
  size_t end = std::min(line.find_first_of(kBlanks, start), line.size());
  *at = end;
  return line.substr(start, end - start);
}

std::optional<std::array<uint8_t, 20>> ReadThumbprint(std::string_view hex) {
  std::array<uint8_t, 20> thumbprint{};
  if (hex.size() != 2 * thumbprint.size()) return std::nullopt;
  for (size_t i = 0; i < hex.size(); ++i) {
    char c = hex[i];
    int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (value < 0) return std::nullopt;
    thumbprint[i / 2] = static_cast<uint8_t>(thumbprint[i / 2] << 4 | value);
  }
  return thumbprint;
}

std::optional<UsageList> ReadUsages(std::string_view words) {
  if (words == "all") return UsageList{};
  UsageList usages{.present = true};
  for (size_t start = 0; start <= words.size();) {
    size_t end = std::min(words.find(',', start), words.size());
    std::string_view usage = words.substr(start, end - start);
    if (usage == "code-signing") {
      usages.usages |= kUsageCodeSigning;
    } else if (usage == "time-stamping") {
      usages.usages |= kUsageTimeStamping;
    } else {
      return std::nullopt;
    }
    start = end + 1;
  }
  return usages;
}

}  // namespace

std::optional<std::vector<RequiredRoot>> ReadRequiredRoots(std::string_view text, std::string* error) {
  std::vector<RequiredRoot> roots;
  std::set<std::array<uint8_t, 20>> seen;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    line = line.substr(0, std::min(line.find('#'), line.size()));
    size_t at = 0;
    std::string_view thumbprintWord = NextWord(line, &at);
    if (thumbprintWord.empty()) continue;
    std::string_view usagesWord = NextWord(line, &at);
    std::string_view nameWord = NextWord(line, &at);
    auto fail = [&](const std::string& why) {
      *error = "line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    };
    auto thumbprint = ReadThumbprint(thumbprintWord);
    if (!thumbprint) return fail("not a SHA-1 thumbprint in lower-case hexadecimal");
    auto usages = ReadUsages(usagesWord);
    if (!usages) return fail("usages are \"all\" or code-signing and time-stamping joined by a comma");
    if (nameWord.empty()) return fail("the root's name is missing");
    if (!seen.insert(*thumbprint).second) return fail("the root is listed twice");
    roots.push_back({*thumbprint, *usages});
  }
  return roots;
}

bool ApplyRequiredRoots(const std::vector<RequiredRoot>& required, std::vector<ListedRoot>* listed,
                        std::string* error) {
  for (const RequiredRoot& root : required) {
    auto entry = std::find_if(listed->begin(), listed->end(),
                              [&](const ListedRoot& candidate) { return candidate.thumbprint == root.thumbprint; });
    if (entry == listed->end()) {
      *error = "the required root " + ThumbprintHex(root.thumbprint) + " is not in the trust list";
      return false;
    }
    entry->limits = RootLimits();
    entry->limits.enabled = root.usages;
  }
  return true;
}

}  // namespace wintrust
