#!/usr/bin/env bash
# Installs what is needed, builds the Linux program and checks one file:
#   tools/check.sh FILE
# The report is written beside the program, in build/release/bin/result.txt.
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# < 1)); then
  echo "usage: $0 FILE" >&2
  exit 2
fi
target=$(realpath -- "$1")

tools/install-deps.sh >/dev/null
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIGREPORT_TESTS=OFF >/dev/null
cmake --build build/release --target sigreport wintrust
build/release/bin/sigreport "$target"
report=build/release/bin/result.txt
echo "--- $report"
iconv -f UTF-16 -t UTF-8 "$report"
echo
