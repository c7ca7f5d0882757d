#!/usr/bin/env bash
# Runs the tests of a Windows cross build under Wine:
#   tools/windows/run-tests.sh BUILD_DIR [ctest options...]
# The prefix is made first and its first-start work is let finish; one
# persistent wineserver then serves every program, so each does not pay the
# server's start-up, and it is stopped at the end.
set -euo pipefail
build=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$(cd "$here/../.." && pwd)/build/wineprefix}
wineserver --kill 2>/dev/null || true  # a server left running would make --wait wait for ever
"$here/wine-run.sh" wineboot --init >/dev/null 2>&1
wineserver --wait
wineserver --persistent
trap 'wineserver --kill' EXIT
# Wine's services start with the first program a server runs and inherit its
# standard output; a test started first would keep ctest reading until the
# services end. They start here, with their output going nowhere.
"$here/wine-run.sh" wineboot --init >/dev/null 2>&1
"$here/wine-run.sh" "$build/tools/sim-probe/vek-sim-probe.exe"
cd "$build"
ctest --output-on-failure --timeout 300 "$@"
