#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace platform {
namespace {

constexpr size_t kMaxTransfer = size_t{1} << 30;

HANDLE Handle(const File& file) {
  return reinterpret_cast<HANDLE>(file.native());
}

File Adopt(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? File() : File(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

void File::Close() {
  if (IsOpen()) CloseHandle(reinterpret_cast<HANDLE>(Release()));
}

File OpenForReading(const WideChar* path) {
  File file = Adopt(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_ARCHIVE, nullptr));
  // A console, pipe or character device is not a file whose content can be
  // checked; directories already fail to open without backup semantics.
  if (file.IsOpen() && GetFileType(Handle(file)) != FILE_TYPE_DISK) return File();
  return file;
}

File CreateTemporaryBeside(const WideChar* finalPath, WideString* temporaryPath) {
  const WideString base = WideString(finalPath) + L"." + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const WideString candidate = base + std::to_wstring(attempt) + L".tmp";
    File file = Adopt(CreateFileW(candidate.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_ARCHIVE, nullptr));
    if (file.IsOpen()) {
      *temporaryPath = candidate;
      return file;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  return File();
}

bool MoveIntoPlace(const WideString& temporaryPath, const WideChar* finalPath) {
  if (MoveFileExW(temporaryPath.c_str(), finalPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DeleteFileW(temporaryPath.c_str());
  return false;
}

uint64_t SizeOf(const File& file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(Handle(file), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

bool ReadExactly(const File& file, void* buffer, size_t size) {
  auto* at = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    DWORD count = 0;
    const auto wanted = static_cast<DWORD>(std::min(size, kMaxTransfer));
    if (!ReadFile(Handle(file), at, wanted, &count, nullptr) || count == 0) return false;
    at += count;
    size -= count;
  }
  return true;
}

bool WriteAll(const File& file, const void* data, size_t size) {
  const auto* at = static_cast<const unsigned char*>(data);
  while (size > 0) {
    DWORD count = 0;
    const auto wanted = static_cast<DWORD>(std::min(size, kMaxTransfer));
    if (!WriteFile(Handle(file), at, wanted, &count, nullptr) || count == 0) return false;
    at += count;
    size -= count;
  }
  return true;
}

}  // namespace platform
