// The size and SHA-1 of a whole file.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "platform/text.h"

struct FileDigest {
  uint64_t size = 0;
  // 40 lowercase hexadecimal digits and a terminating zero.
  WideChar text[41] = {};
};

// Reads the open `file` from its start to its size and hashes it. Returns
// false when not every byte could be read, or the file's size cannot be
// had; nothing unread is ever hashed.
// A file below 4 GiB is read into one buffer of its size with one read and
// hashed in one Update; a larger one, or one whose buffer cannot be had, is
// streamed through a fixed buffer.
bool DigestWholeFile(const platform::File& file, FileDigest* digest);
