// The line a verdict is written as: readable text or one JSON object.
#pragma once

#include <string>

#include "verify/file_verdict.h"

// "PATH: trusted, signed by ..." or "PATH: NOT TRUSTED: NAME (0x...): ...",
// with its line end. The path's bytes are written as they were given.
std::string FormatTextLine(const FileVerdict& verdict);

// One JSON object and its line end. Text that is not valid UTF-8 (a path's
// undecodable bytes, a certificate's broken name) has each bad byte
// replaced by U+FFFD, so every line is valid JSON.
std::string FormatJsonLine(const FileVerdict& verdict);
