// The check: one run from the command line to the finished report.
#pragma once

#include "platform/text.h"

// Runs the whole check for arguments[1] (further arguments are ignored) and
// returns the process's exit code, which is 0 on every path. Without an
// argument it prints a usage example and creates no report.
int RunCheck(int argumentCount, const WideChar* const* arguments);
