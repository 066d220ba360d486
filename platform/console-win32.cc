#include <windows.h>

#include "platform/console.h"

namespace platform {
namespace {

bool WriteAllTo(DWORD which, std::string_view bytes) {
  const HANDLE output = GetStdHandle(which);
  if (output == INVALID_HANDLE_VALUE || output == nullptr) return false;
  // A console is told the bytes are UTF-8 once; a file or pipe takes them
  // as they are, the same bytes the Linux build writes.
  static const bool consoleIsUtf8 = SetConsoleOutputCP(CP_UTF8) != 0;
  (void)consoleIsUtf8;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD piece = static_cast<DWORD>(bytes.size() < (1u << 30) ? bytes.size() : (1u << 30));
    if (!WriteFile(output, bytes.data(), piece, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace

bool WriteToStandardOutput(std::string_view bytes) {
  return WriteAllTo(STD_OUTPUT_HANDLE, bytes);
}

bool WriteToStandardError(std::string_view bytes) {
  return WriteAllTo(STD_ERROR_HANDLE, bytes);
}

bool StandardErrorIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

unsigned ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors == 0 ? 1 : info.dwNumberOfProcessors;
}

}  // namespace platform
