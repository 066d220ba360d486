#!/usr/bin/env bash
# Installs what is needed, builds both platforms with warnings as errors and
# runs every test: the Linux build natively, the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

jobs=$(nproc)
# Each stage says how long it took, so the run's time can be kept in check.
stage_start=$SECONDS
stage_done() {
  echo "$1 stage: $((SECONDS - stage_start)) s" >&2
  stage_start=$SECONDS
}

# One format for every C and C++ file, the project's own .clang-format.
git ls-files -z --cached --others --exclude-standard '*.c' '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror

cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGREPORT_WERROR=ON -DSIGREPORT_TESTS=ON
cmake --build build/linux -j "$jobs"
ctest --test-dir build/linux --output-on-failure -j "$jobs"
stage_done "Linux"

cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGREPORT_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DSIGREPORT_LINUX_BUILD_DIR="$PWD/build/linux"
cmake --build build/windows -j "$jobs"
ctest --test-dir build/windows --output-on-failure
stage_done "Windows x86-64"

# The 32-bit Windows build under Wine's 32-bit half: every test where the
# kernel runs 32-bit programs; where an emulator runs them (about a minute a
# start), the tests labelled "core", two at a time in one shared prefix;
# where neither, only its machine-code check.
cmake -S . -B build/windows-i686 -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGREPORT_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DSIGREPORT_LINUX_BUILD_DIR="$PWD/build/linux"
cmake --build build/windows-i686 -j "$jobs"
if ! python3 tests/wine/wine_run.py --can-run-32-bit; then
  echo "Wine's 32-bit half cannot run here (not installed, or no 32-bit programs even emulated):" \
    "skipping the 32-bit build's Wine tests" >&2
  ctest --test-dir build/windows-i686 --output-on-failure -R '^sha1_block_instructions'
elif python3 tests/wine/wine_run.py --emulates-32-bit; then
  echo "32-bit programs run through an emulator here: running the 32-bit build's core tests" >&2
  # Under the emulator a 32-bit Wine program runs two threads at once, but
  # one with three busy threads is killed by SIGSEGV (a 20-line program
  # with three threads counting under a mutex is too). The ordered runner's
  # tests, which start up to 64, are left to the 64-bit build under Wine and
  # to the Linux build under ThreadSanitizer; sigverify's two jobs run here.
  echo "leaving out the 32-bit build's threaded tests (OrderedRunnerTest.*) under the emulator" >&2
  GTEST_FILTER='-OrderedRunnerTest.*' ctest --test-dir build/windows-i686 --output-on-failure -j "$jobs" -L core
else
  ctest --test-dir build/windows-i686 --output-on-failure
fi
stage_done "32-bit Windows"

# The Linux build once more under AddressSanitizer and UndefinedBehaviorSanitizer,
# leak detection on; any finding fails its test. The file past 4 GiB is already
# covered by the plain build and costs minutes here.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGREPORT_WERROR=ON \
  -DSIGREPORT_SANITIZE=ON
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs" -E wintrust_large_file
stage_done "Sanitizer"

# The parallel paths under ThreadSanitizer: the ordered runner's unit tests
# and sigverify verifying every fixture with two jobs through the real trust
# library. Only the targets those need are built.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGREPORT_WERROR=ON \
  -DSIGREPORT_THREAD_SANITIZE=ON
cmake --build build/tsan -j "$jobs" --target sigreport sigverify sigreport_tests wintrust
TSAN_OPTIONS=halt_on_error=1 build/tsan/bin/sigreport_tests --gtest_filter='OrderedRunner*'
TSAN_OPTIONS=halt_on_error=1 SIGREPORT_BUILD_DIR="$PWD/build/tsan" SIGREPORT_PLATFORM=linux \
  SIGREPORT_FIXTURES="$PWD/build/linux/fixtures" python3 -m unittest discover -s tests/e2e \
  -p test_sigverify_linux.py -k test_parallel_output_is_identical_to_one_job
stage_done "ThreadSanitizer"

# Every fuzz target for a short, bounded time, after replaying the inputs of
# earlier findings; fuzz/run_fuzzers.sh runs them for as long as asked.
fuzz/run_fuzzers.sh 30
stage_done "Fuzzing"
