#!/usr/bin/env bash
# Cross-builds the image functions' dependencies for Windows (MinGW-w64), static,
# from Debian's source packages of exactly the versions this machine's Linux
# build links: libpng, libjpeg-turbo, libtiff and OpenCV (core, imgproc,
# imgcodecs); zlib is Debian's own MinGW package (libz-mingw-w64-dev). The
# single-file cpp-httplib header goes beside them (the Windows build of the
# control panel includes it). Each architecture gets a prefix of its own:
#
#   tools/windows/build-image-deps.sh ARCH...      (ARCH: x86_64 or i686)
#
# prints each prefix, one a line:
#   ${VEK_CACHE_DIR:-$HOME/.cache/vek}/windows-deps/<key>/<arch>
# The key is a hash of this script's code and of the source versions: a finished
# prefix is reused (seconds), anything else is built afresh. Two architectures
# are built side by side, so that the long serial steps of one overlap the
# other's. The machine's apt configuration is not touched: the sources come
# through a private list of Debian's deb-src entries.
set -euo pipefail
script=$(readlink -f "$0")
[ $# -gt 0 ] || { echo "usage: $0 ARCH... (x86_64, i686)" >&2; exit 2; }
for arch in "$@"; do
    case $arch in x86_64 | i686) ;; *) echo "$0: unknown architecture '$arch' (x86_64, i686)" >&2; exit 2 ;; esac
done

# Debian source package, and the installed package whose version it must match.
sources=(opencv:libopencv-dev libpng1.6:libpng-dev libjpeg-turbo:libjpeg62-turbo-dev tiff:libtiff-dev
    cpp-httplib:libcpp-httplib-dev)
need_tools=(cmake ninja nasm apt-get dpkg-source dpkg-query sha256sum flock)
for arch in "$@"; do need_tools+=("$arch-w64-mingw32-gcc-posix" "$arch-w64-mingw32-g++-posix"); done
for tool in "${need_tools[@]}"; do
    command -v "$tool" >/dev/null || { echo "$0: missing tool: $tool" >&2; exit 2; }
done
for arch in "$@"; do
    [ -f "/usr/$arch-w64-mingw32/lib/libz.a" ] ||
        { echo "$0: missing package: libz-mingw-w64-dev (zlib for MinGW-w64, /usr/$arch-w64-mingw32/lib/libz.a)" >&2; exit 2; }
done

versions=""
for entry in "${sources[@]}"; do
    binary=${entry#*:}
    line=$(dpkg-query -W -f '${source:Package} ${source:Version}' "$binary" 2>/dev/null) ||
        { echo "$0: missing package: $binary (its version names the ${entry%%:*} sources to build)" >&2; exit 2; }
    versions+="$line"$'\n'
done
# Comments do not change what is built: they are left out of the key.
key=$( (grep -v '^[[:space:]]*#' "$script"; printf '%s' "$versions"; "$1-w64-mingw32-g++-posix" -dumpversion) | sha256sum | cut -c1-16)
root=${VEK_CACHE_DIR:-$HOME/.cache/vek}/windows-deps/$key
mkdir -p "$root"
jobs=${VEK_DEPS_JOBS:-$(nproc)}

all_done=1
for arch in "$@"; do [ -f "$root/$arch/.complete" ] || all_done=0; done
if [ $all_done = 1 ]; then
    for arch in "$@"; do echo "$root/$arch"; done
    exit 0
fi

# One build at a time per cache entry (two `make` runs, or two clones).
exec 9>"$root/.lock"
flock 9

# The sources: downloaded and unpacked with Debian's patches applied, once for
# all architectures.
fetch_sources() {
    [ -f "$root/src/.complete" ] && return
    local apt=$root/apt
    rm -rf "$root/src" "$apt"
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$root/src"
    cat >"$apt/sources.list" <<'EOF'
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
EOF
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o Debug::NoLocking=1
        -o APT::Sandbox::User=root -qq)
    echo "windows deps: fetching the source package lists" >&2
    apt-get "${opts[@]}" update >"$apt/update.log" 2>&1 ||
        { cat "$apt/update.log" >&2; echo "$0: apt-get update of the deb-src lists failed" >&2; exit 1; }
    local package version
    while read -r package version; do
        [ -n "$package" ] || continue
        # The installed version first; where the mirror no longer has its
        # sources (a security update's, superseded), the newest other Debian
        # revision of the same upstream version.
        local tried="" candidate fetched=""
        for candidate in $version $(apt-cache "${opts[@]}" showsrc "$package" 2>/dev/null |
            sed -n 's/^Version: //p' | grep -F "${version%-*}-" | sort -r -V); do
            case " $tried " in *" $candidate "*) continue ;; esac
            tried+=" $candidate"
            echo "windows deps: fetching $package $candidate" >&2
            rm -rf "$apt/get/$package"
            mkdir -p "$apt/get/$package"
            if (cd "$apt/get/$package" && apt-get "${opts[@]}" source --download-only "$package=$candidate" \
                >../"$package.log" 2>&1); then
                fetched=$candidate
                break
            fi
        done
        [ -n "$fetched" ] || { cat "$apt/get/$package.log" >&2; echo "$0: missing source package: $package $version" >&2; exit 1; }
        [ "$fetched" = "$version" ] || echo "windows deps: $package $version is gone from the mirror: built $fetched" >&2
        echo "$package $fetched" >>"$root/src/versions"
        dpkg-source -q --no-check -x "$apt/get/$package"/*.dsc "$root/src/$package" >"$apt/get/$package-x.log" 2>&1 ||
            { cat "$apt/get/$package-x.log" >&2; echo "$0: unpacking $package $version failed" >&2; exit 1; }
    done <<<"$versions"
    rm -rf "$apt"
    touch "$root/src/.complete"
}

# Configures, builds and installs one CMake project into the prefix; the log
# is kept, and shown when a step fails.
cmake_install() {
    local arch=$1 name=$2 source=$3
    shift 3
    local build=$root/build-$arch/$name log=$root/build-$arch/$name.log
    echo "windows deps: $arch: $name" >&2
    mkdir -p "$build"
    if ! { cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/build-$arch/toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$root/$arch" -DBUILD_SHARED_LIBS=OFF "$@" &&
        cmake --build "$build" -j "$jobs" && cmake --install "$build"; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "$0: $arch: building $name failed (log: $log)" >&2
        return 1
    fi
}

build_arch() {
    local arch=$1 triple=$1-w64-mingw32 prefix=$root/$1
    rm -rf "$prefix" "$root/build-$arch"
    mkdir -p "$root/build-$arch" "$prefix/include"
    # Static libraries only: the import libraries beside them (zlib's) are never picked.
    cat >"$root/build-$arch/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $([ "$arch" = i686 ] && echo x86 || echo x86_64))
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)
set(CMAKE_FIND_ROOT_PATH $prefix /usr/$triple)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
EOF
    local src=$root/src zlib=(-DZLIB_LIBRARY=/usr/$triple/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/$triple/include)
    cmake_install "$arch" libpng "$src/libpng1.6" "${zlib[@]}" -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF \
        -DPNG_EXECUTABLES=OFF -DSKIP_INSTALL_PROGRAMS=ON
    cmake_install "$arch" libjpeg-turbo "$src/libjpeg-turbo" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
        -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON
    # libtiff with the compressions of its own and those of zlib and libjpeg;
    # the loader refuses the others (zstd, LZMA, WebP, JBIG, LERC) on every system.
    cmake_install "$arch" libtiff "$src/tiff" "${zlib[@]}" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF \
        -Dtiff-docs=OFF -Dcxx=OFF -Dzlib=ON -Djpeg=ON -Dold-jpeg=ON -Dpixarlog=ON -Djbig=OFF -Dlerc=OFF -Dlzma=OFF \
        -Dzstd=OFF -Dwebp=OFF -Dlibdeflate=OFF -Djpeg12=OFF
    # OpenCV: the three modules, with Debian's CPU baseline and dispatch
    # settings (resize and colour conversion choose the same code paths as
    # on Linux), no parallel framework (the library starts no threads), and
    # the codecs: PNG, JPEG, TIFF and the built-in ones.
    local cpu=(-DCPU_BASELINE=SSE2 -DCPU_BASELINE_DISABLE=SSE3)
    [ "$arch" = i686 ] && cpu=(-DCPU_BASELINE_DISABLE="SSE;SSE2")
    cmake_install "$arch" opencv "$src/opencv" "${zlib[@]}" "${cpu[@]}" \
        -DBUILD_LIST=core,imgproc,imgcodecs -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF \
        -DBUILD_DOCS=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_apps=OFF -DBUILD_opencv_python3=OFF \
        -DBUILD_ZLIB=OFF -DBUILD_PNG=OFF -DBUILD_JPEG=OFF -DBUILD_TIFF=OFF -DBUILD_WEBP=OFF -DBUILD_OPENJPEG=OFF \
        -DBUILD_OPENEXR=OFF -DBUILD_JASPER=OFF -DBUILD_PROTOBUF=OFF -DBUILD_ITT=OFF -DBUILD_IPP_IW=OFF \
        -DWITH_PNG=ON -DWITH_JPEG=ON -DWITH_TIFF=ON -DWITH_WEBP=OFF -DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF \
        -DWITH_OPENEXR=OFF -DWITH_GDAL=OFF -DWITH_GDCM=OFF -DWITH_IMGCODEC_HDR=ON -DWITH_IMGCODEC_SUNRASTER=ON \
        -DWITH_IMGCODEC_PXM=ON -DWITH_IMGCODEC_PFM=ON \
        -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_OPENCL=OFF -DWITH_LAPACK=OFF -DWITH_EIGEN=OFF -DWITH_TBB=OFF \
        -DWITH_OPENMP=OFF -DWITH_PTHREADS_PF=OFF -DWITH_HPX=OFF -DWITH_WIN32UI=OFF -DWITH_DSHOW=OFF -DWITH_MSMF=OFF \
        -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF -DWITH_PROTOBUF=OFF -DWITH_QUIRC=OFF -DWITH_ADE=OFF \
        -DWITH_CAROTENE=OFF -DWITH_VTK=OFF -DWITH_OPENGL=OFF -DWITH_QT=OFF -DWITH_GTK=OFF -DWITH_1394=OFF \
        -DWITH_DIRECTX=OFF -DWITH_VA=OFF -DWITH_OBSENSOR=OFF -DWITH_FREETYPE=OFF -DWITH_OPENVX=OFF \
        -DWITH_VULKAN=OFF -DWITH_CUDA=OFF -DWITH_ONNX=OFF -DWITH_IMGCODEC_GIF=OFF -DWITH_HALIDE=OFF \
        -DCV_TRACE=OFF -DENABLE_PRECOMPILED_HEADERS=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF \
        -DBUILD_INFO_SKIP_TIMESTAMP=ON -DOPENCV_ENABLE_NONFREE=OFF
    cp "$src/cpp-httplib/httplib.h" "$prefix/include/httplib.h"
    rm -rf "$root/build-$arch"
    touch "$prefix/.complete"
}

fetch_sources
pids=()
for arch in "$@"; do
    if [ ! -f "$root/$arch/.complete" ]; then
        build_arch "$arch" &
        pids+=($!)
    fi
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
[ $failed = 0 ] || exit 1
for arch in "$@"; do echo "$root/$arch"; done
