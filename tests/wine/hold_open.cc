// Test-only Windows helper: holds a file open, as another program locking
// the report would, until its standard input closes. Without a second
// argument nothing is shared; with "read-write" reading and writing are
// shared but deletion is not, the way a viewer holds a file.
//   hold_open.exe FILE [read-write]
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  const bool shareReadWrite = argc == 3 && std::wcscmp(argv[2], L"read-write") == 0;
  if (argc != 2 && !shareReadWrite) {
    std::fputs("usage: hold_open FILE [read-write]\n", stderr);
    return 2;
  }
  const DWORD sharing = shareReadWrite ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  const HANDLE file =
      CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open: %lu\n", GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  CloseHandle(file);
  return 0;
}
