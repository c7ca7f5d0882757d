#!/usr/bin/env bash
# Runs the bit-plane benchmark and its numpy peer in one go, pinned to one
# core when taskset is there, and prints each conversion's time with its
# ratio to a memcpy of the same 2,073,600 bytes and the numpy speed-up.
# Times are CPU time of the running thread (median of repetitions), on both
# sides, so that other load on a shared machine does not count.
#
#   bench/run_bitplane.sh [path/to/bitplane_bench]   (default: build/release/bench/bitplane_bench)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bench=${1:-$here/../build/release/bench/bitplane_bench}
python=/usr/bin/python3
pin=()
if command -v taskset >/dev/null 2>&1; then pin=(taskset -c 0); fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

"${pin[@]}" "$bench" --benchmark_format=json --benchmark_min_time=0.5 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true >"$tmp/bench.json"
"${pin[@]}" "$python" "$here/bitplane_numpy.py" 30 >"$tmp/numpy.json"

"$python" - "$tmp/bench.json" "$tmp/numpy.json" "${pin[*]:-unpinned}" <<'PY'
import json, platform, sys

bench = json.load(open(sys.argv[1]))
numpy = json.load(open(sys.argv[2]))
pinning = sys.argv[3]

def to_us(entry):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[entry["time_unit"]]
    return entry["cpu_time"] * scale

median = {}
labels = {}
for entry in bench["benchmarks"]:
    if entry.get("aggregate_name") == "median":
        median[entry["run_name"]] = to_us(entry)
        if entry.get("label"):
            labels[entry["run_name"]] = entry["label"]

ctx = bench["context"]
cpu = "?"
try:
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
except OSError:
    pass
print(f"machine: {cpu}, {ctx['num_cpus']} cpus, {platform.platform()}; pinned: {pinning}")
print(f"numpy {numpy['numpy']} (median of {numpy['runs']} runs); benchmark: median of 5 repetitions; CPU time")
memcpy = median["memcpy/1920x1080"]
print(f"{'conversion':42} {'time (us)':>10} {'x memcpy':>9} {'numpy / this':>13}")
print(f"{'memcpy/1920x1080':42} {memcpy:10.1f} {1.0:9.2f} {'':>13}")
for name, us in median.items():
    if name.startswith("memcpy"):
        continue
    kind = name.split("/")[0]
    shown = name + (f" ({labels[name]})" if name in labels else "")
    np_us = numpy[kind + "_us"]
    print(f"{shown:42} {us:10.1f} {us / memcpy:9.2f} {np_us / us:13.1f}")
print(f"{'numpy pixel2bin (np.packbits per plane)':42} {numpy['pixel2bin_us']:10.1f} {numpy['pixel2bin_us'] / memcpy:9.2f}")
print(f"{'numpy bin2pixel (np.unpackbits per plane)':42} {numpy['bin2pixel_us']:10.1f} {numpy['bin2pixel_us'] / memcpy:9.2f}")
PY
