// The bytes of the file under verification, read on demand. Nothing maps the
// file: a file that another process truncates while it is being verified
// makes a read come up short, which the reader reports, instead of raising
// SIGBUS in the caller. Offsets are 64-bit, so files larger than 4 GiB are
// read like any other, and no reader ever holds the whole file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "wintrust/base/byte_view.h"

namespace wintrust {

// Read access to `size()` bytes.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The size the source had when it was opened; every range a parser checks
  // is checked against this.
  virtual uint64_t size() const = 0;

  // Fills all of `out` with the bytes at `offset`. False when the range is
  // not inside size(), or when fewer bytes could be read (the file shrank,
  // or the read failed); `out` is then unspecified.
  virtual bool Read(uint64_t offset, std::span<uint8_t> out) const = 0;

  // Tells the source that [offset, offset + length) is about to be read front
  // to back; advice only.
  virtual void AdviseSequential(uint64_t, uint64_t) const {}
};

// Bytes already in memory; reads inside size() always succeed.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(ByteView bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  ByteView bytes_;
};

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
  kOther,         // any other failure to open or stat
};

// A regular file opened by path, read with pread(2). The descriptor is held
// for the length of one verification and closed by the destructor.
class FileSource final : public ByteSource {
 public:
  // Opens `path` without blocking. An empty file succeeds with size 0.
  static std::unique_ptr<FileSource> Open(const std::string& path, FileOpenError* error);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  uint64_t size() const override { return size_; }
  bool Read(uint64_t offset, std::span<uint8_t> out) const override;
  void AdviseSequential(uint64_t offset, uint64_t length) const override;

 private:
  FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  uint64_t size_;
};

}  // namespace wintrust
