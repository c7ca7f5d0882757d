#!/usr/bin/env bash
# Hardware check of a VEK board: lists the boards (vek list, when the vek tool
# is at hand), then runs vek-selftest, which opens the board, reads the
# firmware version, board type and register 0x02, and writes a frame into a
# scratch area of board memory and reads it back. Arguments go to
# vek-selftest (--index N, --address A, --length L).
# Not run in CI: it needs a board on the bench.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
find_tool() {
  for candidate in "$here/$1" "$here/../../build/release/tools/selftest/$1" "$here/../../build/release/tools/vek/$1"; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  command -v "$1" || true
}
selftest=$(find_tool vek-selftest)
vek=$(find_tool vek)
if [ -z "$selftest" ]; then
  echo "vek-selftest not found: build the project first (make build) or install it (cmake --install)." >&2
  exit 1
fi
if [ -n "$vek" ]; then
  echo "== attached boards (vek list)"
  "$vek" list || true
  echo
fi
echo "== self-check"
exec "$selftest" "$@"
