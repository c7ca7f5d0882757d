#!/usr/bin/env bash
# Packs a Windows build into the release zip:
#   tools/windows/make-dist.sh BUILD_DIR win64|win32 OUT_DIR
# writes OUT_DIR/vek-<version>-<win64|win32>.zip, one folder of that name
# holding vek_dll.dll with its import library and .def, vek.exe and
# vek-selftest.exe beside the DLL, the public headers (include/), the Python
# package (python/vek) and the Windows read-me (README-windows.txt).
set -euo pipefail
build=$(readlink -f "$1")
flavour=$2
out=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(vek VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=vek-$version-$flavour
files=("$build/vek_dll.dll" "$build/vek_dll.lib" "$build/vek_dll.def" "$build/tools/vek/vek.exe"
    "$build/tools/selftest/vek-selftest.exe")
for file in "${files[@]}"; do
    [ -f "$file" ] || { echo "$0: $file not built" >&2; exit 2; }
done
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/include" "$stage/$name/python"
cp "${files[@]}" "$stage/$name/"
# Without the debugging information of the RelWithDebInfo build.
triple=$([ "$flavour" = win32 ] && echo i686 || echo x86_64)-w64-mingw32
"$triple-strip" --strip-debug "$stage/$name"/*.dll "$stage/$name"/*.exe
cp "$root"/include/*.h "$build/include/vek_version.h" "$stage/$name/include/"
cp -r "$root/python/vek" "$root/python/pyproject.toml" "$stage/$name/python/"
find "$stage/$name/python" -name __pycache__ -prune -exec rm -rf {} +
# Windows line ends for the read-me, which Notepad shows either way.
sed 's/$/\r/' "$root/tools/windows/README-windows.txt" >"$stage/$name/README-windows.txt"
mkdir -p "$out"
rm -f "$out/$name.zip"
out=$(readlink -f "$out")
(cd "$stage" && zip -qr -X "$out/$name.zip" "$name")
echo "$out/$name.zip"
