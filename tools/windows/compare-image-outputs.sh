#!/usr/bin/env bash
# The image functions' outputs for the same input files on Linux and under
# Wine, through the vek tool of each build: every image of tests/image/inputs
# (BMP, 1-bit and 4-bit BMP, PNG, baseline, progressive and gray JPEG, 16-bit
# PNG and TIFF, LZW and LZMA TIFF, PGM, Sun raster, HDR, a JPEG cut in half, a
# PNG missing its last byte, a WebP header) converted to gray frames at three
# sizes (batch) and to colour planes (convert --rgb), six of them stamped, and
# the test patterns. The files each side writes, and each command's exit
# status, must be the same byte for byte; the lines that differ are shown.
#
#   tools/windows/compare-image-outputs.sh LINUX_BUILD WINDOWS_BUILD
set -euo pipefail
shopt -s nullglob
here=$(cd "$(dirname "$0")" && pwd)
inputs=$here/../../tests/image/inputs
linux=$(readlink -f "$1")/tools/vek/vek
windows=$(readlink -f "$2")/tools/vek/vek.exe
for program in "$linux" "$windows"; do
    [ -x "$program" ] || { echo "$0: $program not built" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs every command with the vek given, in folder $1; lists the files
# written with their hashes, and the exit statuses, in $1.txt.
outputs() {
    local side=$1
    shift
    mkdir -p "$work/$side/stamp" "$work/$side/patterns"
    cd "$work/$side"
    {
        for size in "96 64" "1920 1080" "16 8"; do
            set -- $size
            rm -rf frames && cp -r "$inputs" frames
            echo "batch $1x$2: $("${vek[@]}" batch frames/ --width "$1" --height "$2" >/dev/null 2>&1; echo $?)"
            for bin in frames/*.bin; do mv "$bin" "${bin%.bin}.$1x$2.bin"; done
            mkdir -p bins && mv frames/*.bin bins/ 2>/dev/null || true
        done
        for image in "$inputs"/*; do
            name=$(basename "$image")
            echo "rgb $name: $("${vek[@]}" convert "frames/$name" "bins/$name.rgb.bin" --rgb --width 96 --height 64 \
                >/dev/null 2>&1; echo $?)"
        done
        for name in colour.png photo.jpg mono.bmp sixteen.bmp gray.pgm deep.tif; do
            cp "$inputs/$name" stamp/
            echo "stamp $name: $("${vek[@]}" stamp "stamp/$name" --width 800 --height 600 --count 2 >/dev/null 2>&1
                echo $?)"
        done
        echo "testpatterns: $("${vek[@]}" testpatterns --out patterns >/dev/null 2>&1; echo $?)"
        find bins stamp -type f | LC_ALL=C sort | xargs sha256sum
        # The patterns' names are in code page 936, which Windows shows through
        # its own ANSI code page (Wine's: 1252): their contents are compared.
        (cd patterns && sha256sum -- * | cut -d' ' -f1 | sort | sed 's/$/  a test pattern/')
    } >"$work/$side.txt"
}
vek=("$linux")
outputs linux
vek=("$here/wine-run.sh" "$windows")
outputs windows
if ! diff -u --label linux "$work/linux.txt" --label windows "$work/windows.txt"; then
    echo "The image functions' outputs differ between Linux and Windows (lines above)." >&2
    exit 1
fi
echo "The image functions' outputs are the same on Linux and under Wine:" \
    "$(grep -c ': ' "$work/linux.txt") commands, $(grep -vc ': ' "$work/linux.txt") files."
