#!/usr/bin/env bash
# Runs the tests of a Windows cross build under Wine:
#   tools/windows/run-tests.sh BUILD_DIR [ctest options...]
# The prefix is made first and its first-start work is let finish (programs
# started while it runs can hang); one wineserver then serves every program,
# so each does not pay the server's start-up, and it is stopped at the end.
# The virtual board's probe runs first: it starts Wine's services before the
# tests do. A test that times out is run once more, because Wine itself has
# been seen to hang a program here now and then (in the first runs after the
# server started); a test that hangs in its own code times out twice and fails.
set -euo pipefail
build=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$(cd "$here/../.." && pwd)/build/wineprefix}
wineserver --kill 2>/dev/null || true  # a server left running would make --wait wait for ever
"$here/wine-run.sh" wineboot --init
wineserver --wait
wineserver --persistent
trap 'wineserver --kill' EXIT
"$here/wine-run.sh" "$build/tools/sim-probe/vek-sim-probe.exe"
cd "$build"
ctest --output-on-failure --timeout 150 --repeat after-timeout:2 "$@"
