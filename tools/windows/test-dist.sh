#!/usr/bin/env bash
# Unpacks the 64-bit release zip into a fresh Wine prefix, with nothing on
# Wine's path, and runs what a user runs first: the demo on a virtual board
# and the self-test on a virtual board.
#   tools/windows/test-dist.sh vek-<version>-win64.zip
set -euo pipefail
zip=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
export WINEPREFIX=$work/prefix
unset WINEPATH
cleanup() {
    wineserver --kill 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$zip")
release=$(ls -d "$work"/unpacked/vek-*)
for file in vek_dll.dll vek_dll.lib vek_dll.def vek.exe vek-selftest.exe README-windows.txt include/vek_dll.h \
    python/vek/__init__.py; do
    [ -f "$release/$file" ] || { echo "$0: $file missing from the zip" >&2; exit 1; }
done
"$here/wine-run.sh" wineboot --init >/dev/null 2>&1
cd "$release"
"$here/wine-run.sh" ./vek.exe --sim demo --out demo-output
ls demo-output/* >/dev/null || { echo "$0: the demo wrote nothing" >&2; exit 1; }
"$here/wine-run.sh" ./vek-selftest.exe --virtual
echo "The release runs in a fresh Wine prefix: the demo and the self-test passed."
