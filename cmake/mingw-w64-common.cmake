# What the two Windows toolchain files share: the compilers of MINGW_PREFIX,
# found and searched in its own root, and the tests' launcher under Wine.
# Each toolchain file sets MINGW_PREFIX and the processor, then includes this.

# The POSIX thread model: GoogleTest needs std::mutex, which the win32 model
# of Debian's mingw-w64 lacks. The program itself starts no thread.
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs built here run under Wine, started by the tests' launcher,
# which picks the loader for the program's machine type and the prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR python3 ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine_run.py)
