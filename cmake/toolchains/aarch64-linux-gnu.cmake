# Cross-compiling for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu;
# the programs run here under qemu-aarch64 (Debian's qemu-user) with the
# target's C and C++ runtimes from /usr/aarch64-linux-gnu:
#   cmake -S . -B build/arm64 -G Ninja -DVEK_IMAGE_SUPPORT=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config looks only at the target's own .pc files, never the build
# machine's (whose libusb would otherwise be linked into Arm programs).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/aarch64-linux-gnu/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

find_program(VEK_QEMU_AARCH64 qemu-aarch64 REQUIRED DOC "qemu-aarch64 (apt-get install qemu-user)")
set(CMAKE_CROSSCOMPILING_EMULATOR ${VEK_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
