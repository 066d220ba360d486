#include "platform/process.h"

#include <windows.h>

#include <string>

#include "platform/utf8.h"

namespace platform {

const WideChar kPathSeparator = L'\\';
const size_t kTrustLibraryPathCapacity = MAX_PATH;
const WideChar kTrustLibraryFileName[] = L"Wintrust.dll";

size_t GetExecutablePath(WideChar* buffer, size_t capacity) {
  const DWORD size = static_cast<DWORD>(capacity);
  const DWORD length = GetModuleFileNameW(nullptr, buffer, size);
  // A count equal to the size means the path was cut.
  if (length == 0 || length >= size) {
    if (capacity > 0) buffer[0] = 0;
    return 0;
  }
  return length;
}

OsVersion GetOsVersion() {
  // The manifest declares the supported Windows versions, so this reports
  // the real version instead of the compatibility answer 6.2.
  OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return {};
  return {info.dwMajorVersion, info.dwMinorVersion};
}

bool GetTrustLibraryDirectory(WideChar* buffer, size_t capacity) {
  if (capacity == 0) return false;
  const UINT length = GetSystemDirectoryW(buffer, static_cast<UINT>(capacity));
  if (length > 0 && length < capacity) return true;
  buffer[0] = 0;
  if (length == 0) return false;
  // Too long for the buffer: the answer was the size it needs, terminator
  // included. Ask again with room for all of it and keep the start.
  std::wstring directory(length, L'\0');
  const UINT written = GetSystemDirectoryW(directory.data(), length);
  if (written == 0 || written >= length) return false;
  directory.copy(buffer, capacity - 1);
  buffer[capacity - 1] = 0;
  return false;
}

void PrintToConsole(const WideChar* text) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const size_t length = WideLength(text);
  DWORD mode;
  if (GetConsoleMode(output, &mode)) {
    DWORD written;
    WriteConsoleW(output, text, static_cast<DWORD>(length), &written, nullptr);
    return;
  }
  // Redirected output gets UTF-8, the same bytes the Linux build prints.
  const std::string bytes = EncodeUtf8(text, length);
  DWORD written;
  WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace platform
