#!/usr/bin/env bash
# The libusb backend's benchmarks on the emulated board, in one run: a 1 MiB
# bulk OUT through VekWriteData against the same transfer made directly with
# libusb; and 200 register reads on each of two boards from two threads
# against 200 on one board from one thread, through the library, with libusb
# alone on the same emulated boards, and through the library on virtual
# boards. Prints each pair and its ratio.
#   bench/libusb_bench.sh [build dir, default build/release] [repetitions, default 10]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
reps=${2:-10}
cmake --build "$build" --target libusb_bench >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
umockdev-wrapper "$build/bench/libusb_bench" --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json
/usr/bin/python3 - "$out" <<'PY'
import json, sys
runs = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"}
lib = runs["BM_LibusbBulkOut_1MiB/real_time_median"]["real_time"]
vek = runs["BM_VekWriteData_1MiB/real_time_median"]["real_time"]
print(f"median 1 MiB bulk OUT: libusb {lib:.3f} ms, VekWriteData {vek:.3f} ms, ratio {vek / lib:.3f}")
def pair(name, what):
    one = runs[f"{name}/1/real_time_median"]["real_time"]
    two = runs[f"{name}/2/real_time_median"]["real_time"]
    print(f"median 200 register reads per thread, {what}: one board one thread {one:.3f} ms, "
          f"two boards two threads {two:.3f} ms, ratio {two / one:.3f}")
pair("BM_RegisterReads", "library on the emulated bus (goal <= 1.3)")
pair("BM_RegisterReadsRawLibusb", "libusb alone on the emulated bus")
pair("BM_RegisterReadsVirtualBoard", "library on virtual boards")
PY
