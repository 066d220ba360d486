#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <utility>

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

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.Release();
  }
  return *this;
}

void File::Close() {
  if (IsOpen()) CloseHandle(reinterpret_cast<HANDLE>(Release()));
}

intptr_t File::Release() {
  return std::exchange(native_, kInvalid);
}

File OpenForReading(const WideChar* path) {
  File file = Adopt(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_ARCHIVE, nullptr));
  // A console, pipe or character device is not a file whose content can be
  // checked; directories already fail to open without backup semantics.
  if (file.IsOpen() && GetFileType(Handle(file)) != FILE_TYPE_DISK) return File();
  return file;
}

File CreateAlways(const WideChar* path) {
  return Adopt(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr));
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
