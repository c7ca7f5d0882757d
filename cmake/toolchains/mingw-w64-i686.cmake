# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 (posix thread
# model). The exports there are __stdcall; vek_dll.def keeps their names plain.
#   cmake -S . -B build/windows32 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VEK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Floating point in SSE registers: the timing words are single-precision
# results, which the x87 unit's extended precision would change.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
