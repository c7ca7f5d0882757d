#!/usr/bin/env bash
# The image functions' outputs for the same inputs on Linux and under Wine
# (tests/image/image_outputs.cpp): the two listings must be the same, line
# for line. Fails showing the lines that differ.
#
#   tools/windows/compare-image-outputs.sh LINUX_BUILD WINDOWS_BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
linux=$(readlink -f "$1")/tests/image/image_outputs
windows=$(readlink -f "$2")/tests/image/image_outputs.exe
for program in "$linux" "$windows"; do
    [ -x "$program" ] || { echo "$0: $program not built" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/linux" "$work/windows"
(cd "$work/linux" && "$linux" out >../linux.txt)
(cd "$work/windows" && "$here/wine-run.sh" "$windows" out | tr -d '\r' >../windows.txt)
if ! diff -u --label linux "$work/linux.txt" --label windows "$work/windows.txt"; then
    echo "The image functions' outputs differ between Linux and Windows (lines above)." >&2
    exit 1
fi
echo "The image functions' outputs are the same on Linux and under Wine: $(wc -l <"$work/linux.txt") results."
