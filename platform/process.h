// The running process and the system it runs on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text.h"

namespace platform {

// The separator between a directory and a name in a path.
extern const WideChar kPathSeparator;

// Units (terminator included) of the buffer that holds the trust library's
// path: the platform's own limit.
extern const size_t kTrustLibraryPathCapacity;

// The trust library's file name, and the name it is loaded by.
extern const WideChar kTrustLibraryFileName[];

// Writes the running executable's full path, zero-terminated, into `buffer`
// of `capacity` units. Returns the number of units before the terminator, or
// 0 when the path cannot be read or does not fit.
size_t GetExecutablePath(WideChar* buffer, size_t capacity);

struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
};

// Major and minor version of the running operating system; zeros when the
// query fails.
OsVersion GetOsVersion();

// Writes the directory that holds the trust library, without a trailing
// separator, zero-terminated, into `buffer` of `capacity` units, and returns
// true. When the directory cannot be found or does not fit, returns false and
// leaves as much of it as is known and fits: the start of a directory too
// long for the buffer, or an empty text.
bool GetTrustLibraryDirectory(WideChar* buffer, size_t capacity);

// Prints `text` on standard output (UTF-8 where the output is not a console).
void PrintToConsole(const WideChar* text);

}  // namespace platform
