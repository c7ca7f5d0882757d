#!/usr/bin/env bash
# Compiles the image functions against the real Windows headers (MinGW-w64
# cross compiler), with the project's warnings as errors. The cross build
# leaves them out, as there are no Windows builds of OpenCV and FreeImage
# here; this checks that they will build on Windows where those are found.
#
#   tools/windows/check-windows-build.sh      (needs g++-mingw-w64-x86-64-posix)
set -euo pipefail
cd "$(dirname "$0")/../.."
cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
command -v "$cxx" >/dev/null || { echo "$cxx not found: apt-get install g++-mingw-w64-x86-64-posix" >&2; exit 2; }
# OpenCV's and FreeImage's headers are portable; give the cross compiler those alone.
headers=$(mktemp -d)
trap 'rm -rf "$headers"' EXIT
ln -s /usr/include/opencv4/opencv2 "$headers/opencv2"
ln -s /usr/include/FreeImage.h "$headers/FreeImage.h"
failed=0
for src in src/image/*.cpp; do
    flags=()
    case $src in
        *_neon.cpp) continue ;;  # 64-bit Arm only
        *_avx512_gfni.cpp) flags=(-mavx512f -mavx512bw -mavx512vbmi -mgfni) ;;
        *_avx512.cpp) flags=(-mavx512f -mavx512bw) ;;
        *_avx2_gfni.cpp) flags=(-mavx2 -mgfni) ;;
        *_avx2.cpp) flags=(-mavx2) ;;
    esac
    if ! "$cxx" -std=c++20 -fsyntax-only "${flags[@]}" -Wall -Wextra -Werror -Wno-unused-parameter \
         -DVEK_DLL_BUILD -DVEK_PREVIEW_MODULE=\"vek_preview.dll\" -Iinclude -Isrc -isystem "$headers" "$src"; then
        echo "FAILED: $src" >&2
        failed=1
    fi
done
[ $failed = 0 ] && echo "The image functions compile for Windows (x86-64, MinGW-w64)."
exit $failed
