// The command's streams and the processors it may use.
#pragma once

#include <string_view>

namespace platform {

// Writes UTF-8 `bytes` to standard output or standard error as they are
// (a console on Windows shows them as UTF-8). False when not all of them
// could be written, for example to a pipe whose reader has gone.
bool WriteToStandardOutput(std::string_view bytes);
bool WriteToStandardError(std::string_view bytes);

// Whether standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();

// The processors this process may run on; at least 1.
unsigned ProcessorCount();

}  // namespace platform
