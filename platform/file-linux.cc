#include "platform/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/utf8.h"

namespace platform {
namespace {

// One read() or write() moves at most about 2 GiB on Linux; stay below that.
constexpr size_t kMaxTransfer = size_t{1} << 30;

std::string PathBytes(const WideChar* path) {
  return EncodeUtf8(path, WideLength(path));
}

int Descriptor(const File& file) {
  return static_cast<int>(file.native());
}

}  // namespace

void File::Close() {
  if (IsOpen()) close(static_cast<int>(Release()));
}

ReadBuffer::ReadBuffer(size_t size) {
  // Transparent huge pages are 2 MiB and must start on a 2 MiB boundary: the
  // mapping is taken that much larger and the buffer starts on the first
  // boundary inside it.
  constexpr size_t kHugePage = size_t{2} << 20;
  if (size > SIZE_MAX - kHugePage) return;
  const size_t mappingSize = std::max<size_t>(size, 1) + kHugePage;
  void* mapping = mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return;
  mapping_ = mapping;
  mappingSize_ = mappingSize;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(mapping) + kHugePage - 1) & ~(kHugePage - 1);
  data_ = reinterpret_cast<uint8_t*>(start);
  // Where huge pages are offered on request, each fault maps 2 MiB at once;
  // populating the whole buffer in one call then spares the read its page
  // faults, which cost far more taken one by one inside the copy. Either
  // refused (an older kernel), the read faults the pages in all the same.
  const size_t usable = mappingSize - (start - reinterpret_cast<uintptr_t>(mapping));
  madvise(data_, usable, MADV_HUGEPAGE);
  madvise(data_, usable, MADV_POPULATE_WRITE);
}

ReadBuffer::~ReadBuffer() {
  if (mapping_ != nullptr) munmap(mapping_, mappingSize_);
}

File OpenForReading(const WideChar* path) {
  // O_NONBLOCK keeps a FIFO without writer from stalling the open; the type
  // test below then turns it away like any other non-regular file.
  const int fd = open(PathBytes(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return File();
  File file(fd);
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return File();
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return File();
  return file;
}

File CreateTemporaryBeside(const WideChar* finalPath, WideString* temporaryPath, bool* directoryRefused) {
  if (directoryRefused != nullptr) *directoryRefused = false;
  const std::string base = PathBytes(finalPath) + "." + std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = base + std::to_string(attempt) + ".tmp";
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      *temporaryPath = DecodeUtf8(candidate);
      return File(fd);
    }
    // Only a name taken by an earlier run of the same process number is
    // worth another try; anything else (no write access) will not change.
    if (errno != EEXIST) {
      if (directoryRefused != nullptr) *directoryRefused = errno == EACCES || errno == EPERM || errno == EROFS;
      break;
    }
  }
  return File();
}

bool GetReportFallbackDirectory(WideString* directory) {
  // The user's state directory as the XDG base directory rules name it: a
  // relative XDG_STATE_HOME is to be ignored, and directories missing on the
  // way are created readable by the user alone.
  const char* stateHome = getenv("XDG_STATE_HOME");
  const char* home = getenv("HOME");
  std::string path;
  if (stateHome != nullptr && stateHome[0] == '/') {
    path = stateHome;
  } else if (home != nullptr && home[0] == '/') {
    path = std::string(home) + "/.local/state";
  } else {
    return false;
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  path += "/sigreport";
  // Each ancestor in turn; those that exist already are left as they are.
  for (size_t end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1)) {
    mkdir(path.substr(0, end).c_str(), 0700);
  }
  mkdir(path.c_str(), 0700);
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
  *directory = DecodeUtf8(path);
  return true;
}

bool MoveIntoPlace(const WideString& temporaryPath, const WideChar* finalPath) {
  const std::string temporary = PathBytes(temporaryPath.c_str());
  if (rename(temporary.c_str(), PathBytes(finalPath).c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

bool SizeOf(const File& file, uint64_t* size) {
  struct stat status;
  if (fstat(Descriptor(file), &status) != 0 || status.st_size < 0) return false;
  *size = static_cast<uint64_t>(status.st_size);
  return true;
}

bool ReadExactly(const File& file, void* buffer, size_t size) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t count = read(Descriptor(file), at, std::min(size, kMaxTransfer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    at += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

bool WriteAll(const File& file, const void* data, size_t size) {
  const auto* at = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t count = write(Descriptor(file), at, std::min(size, kMaxTransfer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    at += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

}  // namespace platform
