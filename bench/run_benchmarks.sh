#!/usr/bin/env bash
# Measures the SHA-1 block functions against OpenSSL and prints the ratios.
#
#   bench/run_benchmarks.sh [BUILD_DIR]        (default: build/bench)
#
# Builds sha1_bench and sha1_instruction_count in BUILD_DIR (a Release build
# with -DSIGREPORT_BENCHMARKS=ON), then
#  1. runs sha1_bench: the five block functions and OpenSSL's SHA-1, scalar
#     only (OPENSSL_ia32cap=0:0, in a worker process) and with its defaults,
#     each over the same 64 MiB in memory, repetitions interleaved at random;
#  2. counts instructions per byte of each block function with callgrind,
#     over 16 MiB hashed through Sha1Hasher (block calls and Update included),
#     and of OpenSSL's scalar code over the same bytes.
# Throughput is processor time per byte. Each ratio uses the best repetition
# of both sides, the one least disturbed on a shared machine; the medians are
# printed too.
#
# Environment: REPETITIONS (default 9), MIN_TIME seconds per repetition
# (default 0.5), CALLGRIND_MIB (default 16).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/bench}
repetitions=${REPETITIONS:-9}
min_time=${MIN_TIME:-0.5}
callgrind_mib=${CALLGRIND_MIB:-16}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIGREPORT_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j 2 --target sha1_bench sha1_instruction_count >/dev/null

workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT

echo "Throughput: sha1_bench, ${repetitions} repetitions ..."
"$build/bin/sha1_bench" \
  --benchmark_repetitions="$repetitions" \
  --benchmark_min_time="$min_time" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$workdir/bench.json" --benchmark_out_format=json \
  >"$workdir/bench.log" 2>&1 || { cat "$workdir/bench.log" >&2; exit 1; }

variants="Sha1BlockX86 Sha1BlockSse2 Sha1BlockSsse3 Sha1BlockAvx Sha1BlockAvx2 OpenSsl"
echo "Instructions: callgrind over ${callgrind_mib} MiB per block function ..."
for variant in $variants; do
  # OpenSSL is counted with its scalar code, for comparison.
  if ! OPENSSL_ia32cap=0:0 valgrind --tool=callgrind --callgrind-out-file="$workdir/callgrind.out" \
      --toggle-collect='*HashWith*' \
      "$build/bin/sha1_instruction_count" "$variant" "$callgrind_mib" \
      >"$workdir/$variant.stdout" 2>"$workdir/$variant.stderr"; then
    echo "$variant: not run ($(tail -n 1 "$workdir/$variant.stderr"))" >&2
    continue
  fi
  collected=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$workdir/$variant.stderr")
  echo "$variant $collected" >>"$workdir/instructions.txt"
done

python3 - "$workdir/bench.json" "$workdir/instructions.txt" "$callgrind_mib" <<'EOF'
import json
import statistics
import sys

bench_file, instructions_file, mebibytes = sys.argv[1], sys.argv[2], int(sys.argv[3])
runs = {}
for entry in json.load(open(bench_file))["benchmarks"]:
    if entry.get("run_type") != "iteration" or entry.get("error_occurred"):
        continue
    name = entry["run_name"].split("/")[0]
    runs.setdefault(name, []).append(entry["bytes_per_second"] / 1e6)

def best(name):
    return max(runs[name]) if name in runs else None

print()
print(f"{'':16} {'best MB/s':>10} {'median MB/s':>12}")
for name in ["Sha1BlockX86", "Sha1BlockSse2", "Sha1BlockSsse3", "Sha1BlockAvx",
             "Sha1BlockAvx2", "OpenSslScalar", "OpenSslDefault"]:
    if name in runs:
        print(f"{name:16} {best(name):10.1f} {statistics.median(runs[name]):12.1f}")
    else:
        print(f"{name:16} {'not run':>10}")

def ratio(a, b, target=None):
    if best(a) is None or best(b) is None:
        return
    value = best(a) / best(b)
    verdict = ""
    if target is not None:
        verdict = f"   target >= {target}: {'met' if value >= target else 'NOT met'}"
    print(f"{a} / {b}: {value:.3f}{verdict}")

print()
ratio("Sha1BlockX86", "OpenSslScalar", 0.9)
ratio("Sha1BlockAvx2", "OpenSslScalar")
for name in ["Sha1BlockX86", "Sha1BlockSse2", "Sha1BlockSsse3", "Sha1BlockAvx",
             "Sha1BlockAvx2"]:
    ratio(name, "OpenSslDefault")

print()
try:
    lines = open(instructions_file).read().split("\n")
except FileNotFoundError:
    lines = []
for line in filter(None, lines):
    name, count = line.split()
    per_byte = int(count) / (mebibytes << 20)
    # The goal for the vector block functions, in instructions per byte.
    target = 17.8 if name in ("Sha1BlockSse2", "Sha1BlockSsse3", "Sha1BlockAvx", "Sha1BlockAvx2") else None
    if name == "OpenSsl":
        name = "OpenSslScalar"
    verdict = ""
    if target is not None:
        verdict = f"   target <= {target}: {'met' if per_byte <= target else 'NOT met'}"
    print(f"{name:16} {per_byte:6.2f} instructions per byte{verdict}")
EOF
