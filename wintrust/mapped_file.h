// A regular file opened by path and mapped read-only for the length of one
// verification. The whole file is addressable without being copied; files
// larger than 4 GiB are mapped like any other.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "wintrust/byte_view.h"

namespace wintrust {

// Converts a NUL-terminated UTF-16 path into the bytes the kernel expects:
// UTF-8, except that a lone surrogate U+DC80..U+DCFF stands for the raw byte
// 0x80..0xFF it was decoded from (the tool turns command-line bytes that are
// not UTF-8 into exactly these). Nothing when the text is not a valid path:
// another lone surrogate, or an empty path.
std::optional<std::string> Utf16PathToBytes(const char16_t* path);

enum class FileOpenError {
  kNone,
  kNotFound,      // no such file or directory
  kAccessDenied,  // permission refused
  kNotRegular,    // a directory, FIFO, device or socket
  kOther,         // any other failure to open, stat or map
};

class MappedFile {
 public:
  // Opens `path` without blocking and maps it. An empty file succeeds with an
  // empty view.
  static std::unique_ptr<MappedFile> Open(const std::string& path,
                                          FileOpenError* error);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  ByteView bytes() const { return {data_, size_}; }

  // Tells the kernel the range [offset, offset + length) is about to be read
  // front to back; advice only.
  void AdviseSequential(uint64_t offset, uint64_t length) const;

 private:
  MappedFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  const uint8_t* data_;
  size_t size_;
};

}  // namespace wintrust
