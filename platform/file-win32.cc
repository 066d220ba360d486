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

ReadBuffer::ReadBuffer(size_t size) {
  size = std::max<size_t>(size, 1);
  // Large pages are committed whole when allocated; they need the lock-memory
  // privilege, which few accounts hold, so small pages are the usual answer.
  const size_t largePage = GetLargePageMinimum();
  if (largePage != 0 && size >= largePage && size <= SIZE_MAX - largePage) {
    const size_t rounded = (size + largePage - 1) / largePage * largePage;
    mapping_ = VirtualAlloc(nullptr, rounded, MEM_RESERVE | MEM_COMMIT | MEM_LARGE_PAGES, PAGE_READWRITE);
  }
  if (mapping_ == nullptr) mapping_ = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  data_ = static_cast<uint8_t*>(mapping_);
}

ReadBuffer::~ReadBuffer() {
  if (mapping_ != nullptr) VirtualFree(mapping_, 0, MEM_RELEASE);
}

File OpenForReading(const WideChar* path) {
  File file = Adopt(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_ARCHIVE, nullptr));
  // A console, pipe or character device is not a file whose content can be
  // checked; directories already fail to open without backup semantics.
  if (file.IsOpen() && GetFileType(Handle(file)) != FILE_TYPE_DISK) return File();
  return file;
}

File CreateTemporaryBeside(const WideChar* finalPath, WideString* temporaryPath, bool* directoryRefused) {
  if (directoryRefused != nullptr) *directoryRefused = false;
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
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS) {
      if (directoryRefused != nullptr) {
        *directoryRefused = error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
      }
      break;
    }
  }
  return File();
}

// A program on Windows lives in a folder of its own, unpacked where its user
// can write: the report goes beside it or nowhere.
bool GetReportFallbackDirectory(WideString*) {
  return false;
}

namespace {

// Writes the content of the file at `sourcePath` over the file at
// `finalPath`, which is opened in place and cut to that length: the way to a
// file that another program holds open sharing reading and writing but not
// deletion, which refuses a move over it. A link at `finalPath` is itself
// replaced, never followed.
bool CopyInPlace(const WideString& sourcePath, const WideChar* finalPath) {
  const File source = Adopt(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  const File target = Adopt(CreateFileW(finalPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!source.IsOpen() || !target.IsOpen()) return false;
  for (;;) {
    char chunk[1 << 16];
    DWORD count = 0;
    if (!ReadFile(Handle(source), chunk, sizeof(chunk), &count, nullptr)) return false;
    if (count == 0) return true;
    if (!WriteAll(target, chunk, count)) return false;
  }
}

}  // namespace

bool MoveIntoPlace(const WideString& temporaryPath, const WideChar* finalPath) {
  if (MoveFileExW(temporaryPath.c_str(), finalPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  // Windows refuses the move for sharing with either of these codes.
  const DWORD error = GetLastError();
  const bool copied =
      (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) && CopyInPlace(temporaryPath, finalPath);
  DeleteFileW(temporaryPath.c_str());
  return copied;
}

bool SizeOf(const File& file, uint64_t* size) {
  LARGE_INTEGER value;
  if (!GetFileSizeEx(Handle(file), &value) || value.QuadPart < 0) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
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
