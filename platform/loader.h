// Loading the trust library at run time and asking where code lies.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace platform {

using ModuleHandle = void*;

// Loads the trust library by its bare file name, so the platform's own search
// decides which file that is. Null on failure.
ModuleHandle LoadTrustLibrary();

// The address of the export `name` in `module`, or null.
void* FindExport(ModuleHandle module, const char* name);

void ReleaseLibrary(ModuleHandle module);

// Writes the path of the file mapped at `address` in this process into
// `buffer` of `capacity` units, zero-terminated when it fits. Returns the
// number of units stored before the terminator, 0 when no file is mapped there
// or the query fails. A name too long for the buffer fills all of it, with no
// terminator, and the count returned is then `capacity`.
uint32_t GetMappedFilePath(const void* address, WideChar* buffer, uint32_t capacity);

}  // namespace platform
