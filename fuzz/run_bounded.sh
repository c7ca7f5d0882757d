#!/usr/bin/env bash
# Runs every fuzz target for a bounded time over its seed corpus, a few at a
# time, and fails on any finding (crash, sanitizer report, leak, time-out or
# out-of-memory). Used by `make test-fuzz`.
#
#   fuzz/run_bounded.sh <build dir> [seconds per target] [targets at once]
#
# New inputs go to <build dir>/fuzz-run/<target>/corpus, never into the
# repository's corpus; findings land in <build dir>/fuzz-run/<target>/ as
# crash-*, leak-*, timeout-* or oom-* files, with the log beside them.
set -u
build=$(cd "${1:?build directory}" && pwd)  # absolute: some targets change directory
seconds=${2:-50}
jobs=${3:-2}
here=$(cd "$(dirname "$0")" && pwd)
targets="iic_fuzz descriptor_walk_fuzz open_device_fuzz device_calls_fuzz bitplane_fuzz image_getters_fuzz stamp_fuzz"
out="$build/fuzz-run"
mkdir -p "$out"

# Options of each target: inputs as long as the files it reads (firmware files
# and images up to 64 KiB), and a dictionary of the format's tokens. Firmware
# files are tried at every length from the start (libFuzzer otherwise raises
# its length limit slowly: about 7 KiB after 30 minutes).
target_options() {
    case $1 in
        iic_fuzz) echo "-max_len=65536 -len_control=0 -dict=$here/dict/iic.dict" ;;
        descriptor_walk_fuzz|open_device_fuzz) echo "-dict=$here/dict/descriptor.dict" ;;
        image_getters_fuzz|stamp_fuzz) echo "-max_len=65536" ;;
    esac
}

run_one() {
    local target=$1 dir="$out/$1"
    rm -rf "$dir" && mkdir -p "$dir/corpus"
    # shellcheck disable=SC2046
    "$build/fuzz/$target" $(target_options "$target") -max_total_time="$seconds" -timeout=60 -rss_limit_mb=2048 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$dir/" \
        "$dir/corpus" "$here/corpus/$target" >"$dir.log" 2>&1
    local rc=$?
    local runs
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir.log" | grep -o '[0-9]*$')
    if [ $rc -eq 0 ]; then
        echo "fuzz $target: ${runs:-?} runs in ${seconds}s, no finding"
    else
        echo "fuzz $target: FINDING (exit $rc); log $dir.log"
        grep -E 'ERROR|SUMMARY|finding|Test unit written' "$dir.log" | head -20
    fi
    return $rc
}

failed=0
pids=()
names=()
for target in $targets; do
    if [ ! -x "$build/fuzz/$target" ]; then
        echo "fuzz $target: not built in $build" >&2
        failed=1
        continue
    fi
    run_one "$target" &
    pids+=($!)
    names+=("$target")
    # Keep at most $jobs running.
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do sleep 1; done
done
for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || failed=1
done
exit $failed
