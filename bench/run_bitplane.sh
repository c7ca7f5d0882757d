#!/usr/bin/env bash
# Runs the bit-plane benchmark and its numpy peer in one go, pinned to one
# core when taskset is there, and prints every kernel's ratio to a memcpy of
# the same 2,073,600 bytes (8, 4 and 1 planes), and numpy's median and range
# over several processes against the exported functions.
# Times are CPU time of the running thread (median of repetitions), on both
# sides, so that other load on a shared machine does not count.
#
#   bench/run_bitplane.sh [path/to/bitplane_bench]   (default: build/release/bench/bitplane_bench)
#   MIN_TIME=0.1 bench/run_bitplane.sh ...            (seconds per repetition; default 0.5)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bench=${1:-$here/../build/release/bench/bitplane_bench}
python=/usr/bin/python3
pin=()
if command -v taskset >/dev/null 2>&1; then pin=(taskset -c 0); fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
"${pin[@]}" "$bench" --benchmark_format=json --benchmark_min_time="${MIN_TIME:-0.5}" --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true >"$tmp/bench.json"
# numpy's own time varies from one process to the next: several processes,
# each giving its median of 30 calls.
for run in 1 2 3 4 5; do
  "${pin[@]}" "$python" "$here/bitplane_numpy.py" 30 >"$tmp/numpy$run.json"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

"$python" - "$tmp" "${pin[*]:-unpinned}" "$load_before" "$load_after" <<'PY'
import glob, json, os, platform, statistics, sys

tmp, pinning, load_before, load_after = sys.argv[1:5]
bench = json.load(open(os.path.join(tmp, "bench.json")))
numpy_runs = [json.load(open(f)) for f in sorted(glob.glob(os.path.join(tmp, "numpy*.json")))]

def to_us(entry):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[entry["time_unit"]]
    return entry["cpu_time"] * scale

median = {}
ratio = {}
labels = {}
for entry in bench["benchmarks"]:
    if entry.get("aggregate_name") == "median":
        median[entry["run_name"]] = to_us(entry)
        if "x_memcpy" in entry:
            ratio[entry["run_name"]] = entry["x_memcpy"]
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
print(f"load average (1, 5, 15 min) before: {load_before}; after: {load_after}")
print("benchmark: median of 5 repetitions, CPU time; each ratio to a memcpy run by turns with the conversion")
memcpy = median["memcpy/1920x1080"]
print(f"memcpy of 2,073,600 bytes alone: {memcpy:.1f} us")
print()
print("x memcpy        pixel2bin                 bin2pixel")
print(f"{'kernel':12} {'8 planes':>8} {'4 planes':>8} {'1 plane':>8}  {'8 planes':>8} {'4 planes':>8} {'1 plane':>8}")
kernels = []
for name in median:
    parts = name.split("/")
    if len(parts) == 4 and parts[2] not in kernels:
        kernels.append(parts[2])
for k in kernels:
    cells = []
    for kind in ("pixel2bin", "bin2pixel"):
        for planes in ("8", "4", "1"):
            x = ratio.get(f"{kind}/1920x1080/{k}/planes:{planes}")
            cells.append(f"{x:8.2f}" if x is not None else f"{'-':>8}")
    print(f"{k:12} {' '.join(cells[:3])}  {' '.join(cells[3:])}")
print()
np_version = numpy_runs[0]["numpy"]
print(f"numpy {np_version} ({len(numpy_runs)} processes, each the median of {numpy_runs[0]['runs']} calls), 8 planes:")
for kind in ("pixel2bin", "bin2pixel"):
    times = [r[kind + "_us"] for r in numpy_runs]
    mid = statistics.median(times)
    selected = f"{kind}/1920x1080/selected"
    print(f"  {kind}: median {mid:.0f} us ({mid / memcpy:.1f} x memcpy), range {min(times):.0f} to {max(times):.0f} us; "
          f"the library ({labels.get(selected, '?')}) {median[selected]:.1f} us, {mid / median[selected]:.0f} times faster")
PY
