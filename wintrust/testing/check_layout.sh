#!/bin/sh
# Compares the record layouts of wintrust.h with those of the mingw-w64
# Windows headers: both compilations of layout_probe.c must produce the same
# list of offsets and sizes. Usage: check_layout.sh SOURCE_ROOT
set -eu
root=$1
if ! command -v x86_64-w64-mingw32-gcc >/dev/null 2>&1; then
  echo "x86_64-w64-mingw32-gcc not installed"; exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
x86_64-w64-mingw32-gcc -DUSE_MINGW -S -O0 -o "$work/windows.s" "$root/wintrust/testing/layout_probe.c"
cc -I"$root" -S -O0 -o "$work/ours.s" "$root/wintrust/testing/layout_probe.c"
grep -E '^[[:space:]]+\.(quad|long)[[:space:]]' "$work/windows.s" | awk '{print $2}' > "$work/windows.txt"
grep -E '^[[:space:]]+\.(quad|long)[[:space:]]' "$work/ours.s" | awk '{print $2}' > "$work/ours.txt"
count=$(wc -l < "$work/ours.txt")
if [ "$count" -lt 30 ]; then
  echo "probe produced only $count values"; exit 1
fi
if ! diff "$work/windows.txt" "$work/ours.txt"; then
  echo "record layouts differ from the Windows headers"; exit 1
fi
echo "$count offsets and sizes match the Windows headers"
