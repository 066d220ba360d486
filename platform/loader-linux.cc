#include "platform/loader.h"

#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/process.h"
#include "platform/utf8.h"

namespace platform {
namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};

// The path of the file mapping that holds `address`, from /proc/self/maps, or
// an empty text when the address lies in no file mapping.
std::string MappedPathOf(uintptr_t address) {
  std::unique_ptr<FILE, FileCloser> maps(std::fopen("/proc/self/maps", "re"));
  if (!maps) return {};
  std::string line;
  for (int next = 0; next != EOF;) {
    line.clear();
    while ((next = std::fgetc(maps.get())) != EOF && next != '\n') line.push_back(static_cast<char>(next));
    uintmax_t start = 0, end = 0, inode = 0;
    int pathAt = 0;
    // start-end perms offset dev inode path
    if (std::sscanf(line.c_str(), "%jx-%jx %*s %*x %*s %ju %n", &start, &end, &inode, &pathAt) < 3) continue;
    if (address < start || address >= end) continue;
    // Anonymous memory, the stack and the like have no inode and no file.
    if (inode == 0 || line[static_cast<size_t>(pathAt)] != '/') return {};
    return line.substr(static_cast<size_t>(pathAt));
  }
  return {};
}

}  // namespace

ModuleHandle LoadTrustLibrary() {
  const std::string name = EncodeUtf8(kTrustLibraryFileName, WideLength(kTrustLibraryFileName));
  return dlopen(name.c_str(), RTLD_NOW);
}

void* FindExport(ModuleHandle module, const char* name) {
  return dlsym(module, name);
}

void ReleaseLibrary(ModuleHandle module) {
  dlclose(module);
}

uint32_t GetMappedFilePath(const void* address, WideChar* buffer, uint32_t capacity) {
  const WideString path = DecodeUtf8(MappedPathOf(reinterpret_cast<uintptr_t>(address)));
  if (path.empty() || capacity == 0) return 0;
  if (path.size() >= capacity) {
    std::memcpy(buffer, path.data(), capacity * sizeof(WideChar));
    return capacity;
  }
  std::memcpy(buffer, path.data(), path.size() * sizeof(WideChar));
  buffer[path.size()] = 0;
  return static_cast<uint32_t>(path.size());
}

}  // namespace platform
