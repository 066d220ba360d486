#include "verify/options.h"

#include "platform/utf8.h"

#ifndef SIGREPORT_VERSION
#error "SIGREPORT_VERSION must be defined by the build"
#endif

namespace {

constexpr unsigned kMaxJobs = 1024;

std::string Utf8(const WideString& text) {
  return platform::EncodeUtf8(text.data(), text.size());
}

bool ParseJobs(const WideString& value, unsigned* jobs) {
  if (value.empty() || value.size() > 4) return false;
  unsigned number = 0;
  for (WideChar unit : value) {
    if (unit < '0' || unit > '9') return false;
    number = number * 10 + static_cast<unsigned>(unit - '0');
  }
  if (number == 0 || number > kMaxJobs) return false;
  *jobs = number;
  return true;
}

// Applies the option `name` ("jobs", "j", ...) with `value` where it takes
// one; `next` hands out the following argument when the value is not
// attached. False with `error` set on any fault.
template <typename Next>
bool Apply(const std::string& name, const WideString* attached, Next next, Options* options, std::string* error) {
  const bool takesValue = name == "j" || name == "jobs" || name == "roots" || name == "catalog";
  if (!takesValue && attached != nullptr) {
    *error = "option '--" + name + "' doesn't allow an argument";
    return false;
  }
  WideString value;
  if (takesValue) {
    if (attached != nullptr) {
      value = *attached;
    } else if (!next(&value)) {
      *error = "option '" + std::string(name.size() == 1 ? "-" : "--") + name + "' requires an argument";
      return false;
    }
  }
  if (name == "r" || name == "recursive") {
    options->recursive = true;
  } else if (name == "q" || name == "quiet") {
    options->quiet = true;
  } else if (name == "json") {
    options->json = true;
  } else if (name == "help") {
    options->help = true;
  } else if (name == "version") {
    options->version = true;
  } else if (name == "j" || name == "jobs") {
    if (!ParseJobs(value, &options->jobs)) {
      *error = "invalid number of jobs: '" + Utf8(value) + "' (1 to " + std::to_string(kMaxJobs) + ")";
      return false;
    }
  } else if (name == "roots") {
    if (value.empty()) {
      *error = "option '--roots' requires a file name";
      return false;
    }
    options->roots = value;
  } else if (name == "catalog") {
    if (value.empty()) {
      *error = "option '--catalog' requires a file name";
      return false;
    }
    options->catalog = value;
  } else {
    *error = (name.size() == 1 ? "invalid option -- '" : "unrecognized option '--") + name + "'";
    return false;
  }
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<WideString>& arguments, Options* options, std::string* error) {
  size_t index = 0;
  auto next = [&](WideString* value) {
    if (index >= arguments.size()) return false;
    *value = arguments[index++];
    return true;
  };
  bool optionsEnded = false;
  while (index < arguments.size()) {
    const WideString& argument = arguments[index++];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      options->paths.push_back(argument);
      continue;
    }
    if (argument == WIDE("--")) {
      optionsEnded = true;
      continue;
    }
    if (argument[1] == '-') {
      const size_t equals = argument.find('=');
      const std::string name = Utf8(argument.substr(2, equals == WideString::npos ? WideString::npos : equals - 2));
      const WideString value = equals == WideString::npos ? WideString() : argument.substr(equals + 1);
      if (!Apply(name, equals == WideString::npos ? nullptr : &value, next, options, error)) return false;
      continue;
    }
    // A group of short options; one that takes a value takes the rest of
    // the group, or else the next argument.
    for (size_t at = 1; at < argument.size(); ++at) {
      const std::string name = Utf8(argument.substr(at, 1));
      if (name == "j" && at + 1 < argument.size()) {
        const WideString rest = argument.substr(at + 1);
        if (!Apply(name, &rest, next, options, error)) return false;
        break;
      }
      if (!Apply(name, nullptr, next, options, error)) return false;
    }
  }
  if (options->paths.empty() && !options->help && !options->version) {
    *error = "no file given";
    return false;
  }
  return true;
}

std::string HelpText() {
  return "Usage: sigverify [OPTION]... PATH...\n"
         "Verify the Authenticode signature of each PATH as Windows does, and print\n"
         "one line per file on standard output.\n"
         "\n"
         "  -r, --recursive   verify the regular files inside folders, walking them\n"
         "                    (symbolic links to folders are not followed)\n"
         "      --json        print one JSON object per line (JSON Lines)\n"
         "  -q, --quiet       print only the files that are not trusted\n"
         "  -j, --jobs=N      verify N files at a time (default: one per processor)\n"
         "      --roots=PEM   also trust the root certificates in the file PEM\n"
         "      --catalog=CAT verify each file as a member of the catalog CAT: trusted\n"
         "                    when CAT lists the file's hash and CAT's signature is\n"
         "                    trusted\n"
         "      --help        display this help and exit\n"
         "      --version     output version information and exit\n"
         "\n"
         "Exit status:\n"
         " 0  every file is trusted\n"
         " 1  at least one file is not trusted\n"
         " 2  a usage error, or at least one file could not be read\n";
}

std::string VersionText() {
  return "sigverify " SIGREPORT_VERSION "\n";
}
