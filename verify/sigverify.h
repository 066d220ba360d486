// The sigverify command: a signature verdict per file, for scripts and
// pipelines.
#pragma once

#include <vector>

#include "platform/text.h"

// Runs the command on `arguments` (the program's name left out) and returns
// its exit status: 0 when every file is trusted, 1 when any is not, 2 on a
// usage error or when any file could not be read.
int RunSigverify(const std::vector<WideString>& arguments);
