#include "wintrust/mapped_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Closes a descriptor when the scope ends.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
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

std::unique_ptr<MappedFile> MappedFile::Open(const std::string& path,
                                             FileOpenError* error) {
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
  if (info.st_size < 0 ||
      static_cast<uint64_t>(info.st_size) > SIZE_MAX) {
    *error = FileOpenError::kOther;
    return nullptr;
  }
  size_t size = static_cast<size_t>(info.st_size);
  if (size == 0) {
    return std::unique_ptr<MappedFile>(new MappedFile(nullptr, 0));
  }
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) {
    *error = FileOpenError::kOther;
    return nullptr;
  }
  // The mapping keeps the file alive; the descriptor is closed on return.
  return std::unique_ptr<MappedFile>(
      new MappedFile(static_cast<const uint8_t*>(data), size));
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), size_);
}

void MappedFile::AdviseSequential(uint64_t offset, uint64_t length) const {
  if (data_ == nullptr || !RangeInside(size_, offset, length)) return;
  long page = sysconf(_SC_PAGESIZE);
  uint64_t pageSize = page > 0 ? static_cast<uint64_t>(page) : 4096;
  uint64_t start = offset - offset % pageSize;
  uint64_t end = offset + length;
  void* base = const_cast<uint8_t*>(data_) + start;
  size_t span = static_cast<size_t>(end - start);
  madvise(base, span, MADV_SEQUENTIAL);
  madvise(base, span, MADV_WILLNEED);
}

}  // namespace wintrust
