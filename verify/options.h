// The command line of sigverify, read the way GNU tools read theirs: short
// options may be grouped ("-rq"), values follow their option ("-j 2", "-j2",
// "--jobs 2", "--jobs=2"), "--" ends the options, and options and paths may
// come in any order.
#pragma once

#include <string>
#include <vector>

#include "platform/text.h"

struct Options {
  bool recursive = false;
  bool json = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
  unsigned jobs = 0;   // 0: one per processor
  WideString roots;    // a PEM file of roots to add; empty for none
  WideString catalog;  // the catalog the files are members of; empty for none
  std::vector<WideString> paths;
};

// Reads `arguments` (the program's name left out). False, with a message
// for the user in `error`, when they do not make a valid command line; a
// command line without paths is valid only with --help or --version.
bool ParseOptions(const std::vector<WideString>& arguments, Options* options, std::string* error);

// The texts of --help and --version.
std::string HelpText();
std::string VersionText();
