// Windows entry: the arguments arrive as UTF-16 through wmain.
#include <vector>

#include "verify/sigverify.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<WideString> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  return RunSigverify(arguments);
}
