#!/usr/bin/env bash
# Runs a Windows program under Wine, as CTest's emulator for the cross build.
# WINEPREFIX defaults to a prefix of the project's own (made on first use, in
# about 6 s); `make test-windows` starts `wineserver -p` first so that each
# program does not pay the server's start-up, and stops it at the end.
# Module load errors stay visible; the rest of Wine's chatter is silenced.
set -euo pipefail
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$0")/../.." && pwd)/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all,err+module}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=;mshtml=}
exec wine "$@"
