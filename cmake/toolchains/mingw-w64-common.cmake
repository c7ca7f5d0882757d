# What both MinGW-w64 toolchain files share; VEK_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${VEK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VEK_MINGW_TRIPLE})
# The image functions' libraries, cross-built by tools/windows/build-image-deps.sh:
#   -DVEK_WINDOWS_DEPS=<the prefix it prints>
# (the cpp-httplib header is in its include/ too). Passed on to try_compile.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEK_WINDOWS_DEPS)
if(VEK_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${VEK_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes (and winpthread) go into each program and the DLL, so
# they run with nothing beside them: on a user's machine and under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../tools/windows/wine-run.sh)
