#!/usr/bin/env bash
# Replaces the program's roots (wintrust/roots/) with a newer snapshot of
# Microsoft's Trusted Root Program, after checking that the two files match.
#
# Usage: tools/refresh-roots.sh AUTHROOT.STL ROOTS.PEM SNAPSHOT-DATE
#
#   AUTHROOT.STL   the trust list, taken out of authrootstl.cab, which
#                  Windows Update publishes at
#                  http://ctldl.windowsupdate.com/msdownload/update/v3/static/trustedr/en/authrootstl.cab
#                  (gcab -x authrootstl.cab)
#   ROOTS.PEM      every certificate the list names, in PEM; each is
#                  published beside the list as <sha1-thumbprint>.crt (DER,
#                  openssl x509 -inform DER turns it into PEM)
#   SNAPSHOT-DATE  the day the files were taken, YYYY-MM-DD, for the README
#
# The pair must match exactly: the index tool refuses a certificate the list
# does not name and a listed root without its certificate. Then the Linux
# build is brought up to date and the tests of the roots run.
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# != 3)); then
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
  exit 2
fi
list=$1 pem=$2 date=$3
[[ $date =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] || { echo "SNAPSHOT-DATE must be YYYY-MM-DD" >&2; exit 2; }

build=build/linux
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target make_root_index
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Only the certificate blocks are kept, as in the shipped file.
awk '/-----BEGIN CERTIFICATE-----/{keep=1} keep{print} /-----END CERTIFICATE-----/{keep=0}' "$pem" >"$scratch/roots.pem"
# The roots Windows requires (wintrust/roots/required-roots.txt) must all
# still be in the new list.
"$build/bin/make_root_index" "$list" "$scratch/roots.pem" wintrust/roots/required-roots.txt "$scratch/check.idx"

cp "$list" wintrust/roots/authroot.stl
cp "$scratch/roots.pem" wintrust/roots/roots.pem
count=$(grep -c -- '-----BEGIN CERTIFICATE-----' wintrust/roots/roots.pem)
sed -i -E "s/^- \`roots.pem\`: the [0-9]+ root certificates/- \`roots.pem\`: the $count root certificates/; s/^Snapshot of [0-9-]+\./Snapshot of $date./" \
  wintrust/roots/README.md

cmake --build "$build" --target wintrust wintrust_tests
"$build/bin/wintrust_tests" --gtest_filter='TrustList.*:RootIndex.*'
echo "wintrust/roots/ now holds the snapshot of $date ($count roots); review the test results above and commit."
