// Windows entry: the wide command line as the start-up code splits it.
#include "check/check_driver.h"

int wmain(int argc, wchar_t** argv) {
  return RunCheck(argc, argv);
}
