#include "verify/options.h"

#include <gtest/gtest.h>

#include "platform/utf8.h"

namespace {

std::vector<WideString> Split(const std::string& line) {
  std::vector<WideString> words;
  size_t start = 0;
  while (start <= line.size()) {
    const size_t end = std::min(line.find(' ', start), line.size());
    if (end > start) words.push_back(platform::DecodeUtf8(line.substr(start, end - start)));
    start = end + 1;
  }
  return words;
}

// Each row: a command line, then what it must give: "r", "q", "J" for
// recursive, quiet and json, the number of jobs, the roots file, the paths
// joined by '|', or the error message.
struct Row {
  const char* line;
  const char* flags;
  unsigned jobs;
  const char* roots;
  const char* paths;
  const char* error;
};

constexpr Row kRows[] = {
    {"a.exe", "", 0, "", "a.exe", nullptr},
    {"-r dir --json", "rJ", 0, "", "dir", nullptr},
    {"-rq a b", "rq", 0, "", "a|b", nullptr},
    {"--quiet --recursive a", "rq", 0, "", "a", nullptr},
    {"-j 3 a", "", 3, "", "a", nullptr},
    {"-j3 a", "", 3, "", "a", nullptr},
    {"-rj2 a", "r", 2, "", "a", nullptr},
    {"--jobs=7 a", "", 7, "", "a", nullptr},
    {"--jobs 7 a", "", 7, "", "a", nullptr},
    {"a --roots r.pem b", "", 0, "r.pem", "a|b", nullptr},
    {"--roots=r.pem a", "", 0, "r.pem", "a", nullptr},
    {"-- -r --json", "", 0, "", "-r|--json", nullptr},
    {"- a", "", 0, "", "-|a", nullptr},
    {"", "", 0, "", "", "no file given"},
    {"-r", "", 0, "", "", "no file given"},
    {"-x a", "", 0, "", "", "invalid option -- 'x'"},
    {"--colour a", "", 0, "", "", "unrecognized option '--colour'"},
    {"--json=yes a", "", 0, "", "", "option '--json' doesn't allow an argument"},
    {"a -j", "", 0, "", "", "option '-j' requires an argument"},
    {"a --jobs", "", 0, "", "", "option '--jobs' requires an argument"},
    {"a --catalog", "", 0, "", "", "option '--catalog' requires an argument"},
    {"--catalog= a", "", 0, "", "", "option '--catalog' requires a file name"},
    {"-j 0 a", "", 0, "", "", "invalid number of jobs: '0' (1 to 1024)"},
    {"-j two a", "", 0, "", "", "invalid number of jobs: 'two' (1 to 1024)"},
    {"-j 1025 a", "", 0, "", "", "invalid number of jobs: '1025' (1 to 1024)"},
};

TEST(OptionsTest, CommandLines) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.line);
    Options options;
    std::string error;
    const bool valid = ParseOptions(Split(row.line), &options, &error);
    if (row.error != nullptr) {
      EXPECT_FALSE(valid);
      EXPECT_EQ(row.error, error);
      continue;
    }
    ASSERT_TRUE(valid) << error;
    const std::string flags =
        std::string(options.recursive ? "r" : "") + (options.quiet ? "q" : "") + (options.json ? "J" : "");
    EXPECT_EQ(row.flags, flags);
    EXPECT_EQ(row.jobs, options.jobs);
    EXPECT_EQ(platform::DecodeUtf8(row.roots), options.roots);
    std::string paths;
    for (const WideString& path : options.paths) {
      paths += (paths.empty() ? "" : "|") + platform::EncodeUtf8(path.data(), path.size());
    }
    EXPECT_EQ(row.paths, paths);
  }
}

TEST(OptionsTest, HelpAndVersionNeedNoPath) {
  for (const char* line : {"--help", "--version", "--json --help"}) {
    Options options;
    std::string error;
    EXPECT_TRUE(ParseOptions(Split(line), &options, &error)) << line;
    EXPECT_TRUE(options.help || options.version) << line;
  }
  EXPECT_EQ(0u, HelpText().rfind("Usage: sigverify [OPTION]... PATH...\n", 0));
  EXPECT_EQ(0u, VersionText().rfind("sigverify ", 0));
}

}  // namespace
