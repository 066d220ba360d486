#!/bin/sh
# The shared library must export exactly the four WinTrust entry points, and
# carry the SONAME the tool loads it by. Usage: check_exports.sh LIBRARY
set -eu
library=$1
exported=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TtWw]$/ {print $3}' | sort)
expected=$(printf '%s\n' WTHelperGetProvCertFromChain WTHelperGetProvSignerFromChain \
  WTHelperProvDataFromStateData WinVerifyTrustEx | sort)
if [ "$exported" != "$expected" ]; then
  echo "exported functions differ:"; echo "$exported"; exit 1
fi
others=$(nm -D --defined-only "$library" | awk '$2 !~ /^[TtWwA]$/ {print $3}')
if [ -n "$others" ]; then
  echo "unexpected exported symbols:"; echo "$others"; exit 1
fi
soname=$(objdump -p "$library" | awk '$1 == "SONAME" {print $2}')
if [ "$soname" != "libwintrust.so" ]; then
  echo "SONAME is '$soname', not libwintrust.so"; exit 1
fi
echo "exports and SONAME as expected"
