#include "wintrust/base/file_source.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace wintrust {
namespace {

void AppendUtf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Closes a descriptor when the scope ends, unless it is handed on.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  // Hands the descriptor on; the closer no longer closes it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

FileOpenError FromErrno(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR:
      return FileOpenError::kNotFound;
    case EACCES:
    case EPERM:
      return FileOpenError::kAccessDenied;
    case EISDIR:
    case ENXIO:  // a FIFO without a writer, opened without blocking
      return FileOpenError::kNotRegular;
    default:
      return FileOpenError::kOther;
  }
}

}  // namespace

std::optional<std::string> Utf16PathToBytes(const char16_t* path) {
  if (path == nullptr || path[0] == 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; path[i] != 0; ++i) {
    uint32_t unit = path[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t low = path[i + 1];  // the terminator stops this read at worst
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(&out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
      return std::nullopt;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      // Only an escaped byte of a non-UTF-8 name may stand alone.
      if (unit < 0xDC80 || unit > 0xDCFF) return std::nullopt;
      out.push_back(static_cast<char>(unit - 0xDC00));
      continue;
    }
    AppendUtf8(&out, unit);
  }
  return out;
}

bool MemorySource::Read(uint64_t offset, std::span<uint8_t> out) const {
  if (!RangeInside(bytes_.size(), offset, out.size())) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

std::unique_ptr<FileSource> FileSource::Open(const std::string& path, FileOpenError* error) {
  *error = FileOpenError::kNone;
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *error = FromErrno(errno);
    return nullptr;
  }
  FdCloser closer(fd);
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = FileOpenError::kOther;
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = FileOpenError::kNotRegular;
    return nullptr;
  }
  if (info.st_size < 0) {
    *error = FileOpenError::kOther;
    return nullptr;
  }
  return std::unique_ptr<FileSource>(new FileSource(closer.Release(), static_cast<uint64_t>(info.st_size)));
}

FileSource::~FileSource() {
  close(fd_);
}

bool FileSource::Read(uint64_t offset, std::span<uint8_t> out) const {
  // size_ came from st_size, so every offset inside it fits in off_t.
  if (!RangeInside(size_, offset, out.size())) return false;
  size_t done = 0;
  while (done < out.size()) {
    ssize_t count = pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (count < 0 && errno == EINTR) continue;
    // Zero before the end: the file is shorter than when it was opened.
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

void FileSource::AdviseSequential(uint64_t offset, uint64_t length) const {
  if (!RangeInside(size_, offset, length)) return;
  // Doubles the kernel's read-ahead for the range.
  posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_SEQUENTIAL);
}

}  // namespace wintrust
