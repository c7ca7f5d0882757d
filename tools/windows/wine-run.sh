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
# Debian's `wine` starts the 32-bit loader whenever wine32 is installed; on a
# kernel that runs no 32-bit x86 program that fails ("Exec format error"), so
# there the 64-bit loader is started directly (64-bit programs only).
if [ -x /usr/lib/wine/wine64 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    export WINELOADER=/usr/lib/wine/wine64
    exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
