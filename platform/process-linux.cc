#include "platform/process.h"

#include <limits.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/utf8.h"

namespace platform {

const WideChar kPathSeparator = u'/';
const size_t kTrustLibraryPathCapacity = PATH_MAX;
const WideChar kTrustLibraryFileName[] = u"libwintrust.so";

namespace {

std::string ReadExecutableLink() {
  std::string bytes(PATH_MAX, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", bytes.data(), bytes.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < bytes.size()) {
      bytes.resize(static_cast<size_t>(length));
      return bytes;
    }
    bytes.resize(bytes.size() * 2);
  }
}

// Copies `text` into `buffer`, or as much of it as fits when `cut` is set
// (otherwise an empty text); returns whether all of it fitted.
bool CopyText(const WideString& text, WideChar* buffer, size_t capacity, bool cut = false) {
  if (capacity == 0) return false;
  const bool fits = text.size() < capacity;
  const size_t length = fits ? text.size() : cut ? capacity - 1 : 0;
  std::memcpy(buffer, text.data(), length * sizeof(WideChar));
  buffer[length] = 0;
  return fits;
}

// Leading decimal digits of `text` from `at`, advancing `at` past them.
uint32_t ReadNumber(const char* text, size_t& at) {
  uint32_t value = 0;
  while (text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + static_cast<uint32_t>(text[at] - '0');
    ++at;
  }
  return value;
}

}  // namespace

size_t GetExecutablePath(WideChar* buffer, size_t capacity) {
  const WideString path = DecodeUtf8(ReadExecutableLink());
  if (path.empty() || !CopyText(path, buffer, capacity)) return 0;
  return path.size();
}

OsVersion GetOsVersion() {
  struct utsname names;
  if (uname(&names) != 0) return {};
  OsVersion version;
  size_t at = 0;
  version.major = ReadNumber(names.release, at);
  if (names.release[at] == '.') {
    ++at;
    version.minor = ReadNumber(names.release, at);
  }
  return version;
}

bool GetTrustLibraryDirectory(WideChar* buffer, size_t capacity) {
  // The trust library is installed at a fixed place relative to the
  // executable: <prefix>/bin/sigreport and <prefix>/<library dir>/.
  const std::string executable = ReadExecutableLink();
  const size_t binSeparator = executable.rfind('/');
  const size_t prefixSeparator = binSeparator == std::string::npos || binSeparator == 0
                                     ? std::string::npos
                                     : executable.rfind('/', binSeparator - 1);
  if (prefixSeparator == std::string::npos) {
    if (capacity > 0) buffer[0] = 0;
    return false;
  }
  const std::string directory = executable.substr(0, prefixSeparator + 1) + SIGREPORT_TRUST_LIBRARY_DIR;
  return CopyText(DecodeUtf8(directory), buffer, capacity, true);
}

void PrintToConsole(const WideChar* text) {
  const std::string bytes = EncodeUtf8(text, WideLength(text));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (count <= 0) return;
    done += static_cast<size_t>(count);
  }
}

}  // namespace platform
