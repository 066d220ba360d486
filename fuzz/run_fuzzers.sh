#!/usr/bin/env bash
# Builds the fuzz targets with clang in a build directory of their own, makes
# the seed corpora (the signed fixtures plus hand-made seeds), replays every
# regression input, then runs each target for SECONDS_PER_TARGET (default 60).
# Fails on any crash, leak, timeout or broken rule; the input that caused it
# is left in BUILD/artifacts.
#
# Usage: fuzz/run_fuzzers.sh [SECONDS_PER_TARGET]
#   The test command runs it with 30: five and a half minutes of fuzzing for
#   the eleven targets, plus the build.
# Environment: SIGREPORT_FUZZ_BUILD_DIR (default build/fuzz), SIGREPORT_FUZZ_JOBS
# (build jobs, default 2).
set -euo pipefail

seconds=${1:-60}
case $seconds in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SIGREPORT_FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=${SIGREPORT_FUZZ_JOBS:-2}
targets=(fuzz_pe_image fuzz_cabinet fuzz_powershell_script fuzz_compound_file fuzz_signed_data
         fuzz_catalog fuzz_verify_file fuzz_format fuzz_sha1 fuzz_appx fuzz_root_index)

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSIGREPORT_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

python3 "$root/tests/fixtures/make_fixtures.py" "$build/fixtures"
python3 "$root/fuzz/make_seeds.py" "$build/fixtures" "$build/seeds" "$build/bin/fuzz_make_root_index"

# The verification target builds chains against the root program's index
# beside it and the fixtures' roots, none of the system's.
export SSL_CERT_FILE="$build/fixtures/trusted-roots.pem"
export SSL_CERT_DIR="$build/fixtures/no-such-dir"
export TMPDIR="$build/tmp"
mkdir -p "$TMPDIR" "$build/artifacts"

status=0
passed=0
failed=0
summary=()
for target in "${targets[@]}"; do
  binary="$build/bin/$target"
  log="$build/$target.log"
  regressions=("$build/seeds/regressions/$target"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$binary" "${regressions[@]}" >"$log.regressions" 2>&1; then
      echo "$target: a regression input fails again:" >&2
      grep -E "rule broken|ERROR|Running" "$log.regressions" >&2 || true
      status=1
      failed=$((failed + 1))
      summary+=("$target: regression FAILED")
      continue
    fi
  fi
  # New inputs go to a working corpus; the seeds are read, never changed.
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$build/artifacts/$target-")
  case $target in
    fuzz_signed_data | fuzz_verify_file | fuzz_pe_image)
      options+=(-dict="$root/fuzz/authenticode.dict") ;;
  esac
  if "$binary" "${options[@]}" "$corpus" "$build/seeds/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    summary+=("$target: ${runs:-?} runs in ${seconds} s, no finding")
    passed=$((passed + 1))
  else
    echo "$target failed; the end of its log ($log):" >&2
    tail -n 40 "$log" >&2
    status=1
    failed=$((failed + 1))
    summary+=("$target: FAILED (see $log)")
  fi
done

printf '%s\n' "${summary[@]}"
echo "fuzz: $passed passed, $failed failed"
exit "$status"
