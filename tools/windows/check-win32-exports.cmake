# Builds vek_dll.dll for 32-bit Windows (the library alone, MinGW-w64) and
# checks what its users see:
#  1. its export table holds exactly the plain names the public headers declare,
#     and it imports from Windows' own DLLs only;
#  2. a C program that includes vek_dll.h and vek_sim.h links against its
#     import library vek_dll.lib, and imports the functions it calls from
#     vek_dll.dll by their plain names;
#  3. the timing words are computed in SSE registers: no x87 arithmetic in
#     the timing code (its extended precision changes the words).
# The build folder is kept, so a second run rebuilds only what changed.
#
#   cmake -DSOURCE=<source tree> -DBINARY=<build folder> -DPROGRAM=<C file>
#         [-DGENERATOR=Ninja] [-DWINDOWS_DEPS=<32-bit image dependencies>]
#         -P tools/windows/check-win32-exports.cmake
# With WINDOWS_DEPS (tools/windows/build-image-deps.sh i686) the image
# functions are built in, as in the release.
foreach(var SOURCE BINARY PROGRAM)
  if(NOT ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()
if(NOT GENERATOR)
  set(GENERATOR Ninja)
endif()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc})")
  endif()
endfunction()

if(WINDOWS_DEPS)
  set(images -DVEK_WINDOWS_DEPS=${WINDOWS_DEPS} -DVEK_IMAGE_SUPPORT=ON)
else()
  set(images -DVEK_IMAGE_SUPPORT=OFF)
endif()
string(TIMESTAMP started "%s")
run("32-bit configure" ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY} -G ${GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/toolchains/mingw-w64-i686.cmake
    -DCMAKE_BUILD_TYPE=Release ${images} -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF)
run("32-bit build of vek_dll" ${CMAKE_COMMAND} --build ${BINARY} --target vek_dll)
string(TIMESTAMP built "%s")
math(EXPR seconds "${built} - ${started}")
message(STATUS "32-bit library configured and built in ${seconds} s")

# The 32-bit C compiler (from the toolchain file, so not in the cache) and objdump.
file(GLOB compiler_info ${BINARY}/CMakeFiles/*/CMakeCCompiler.cmake)
list(GET compiler_info -1 compiler_info)
include(${compiler_info})
file(STRINGS ${BINARY}/CMakeCache.txt cache REGEX "^CMAKE_OBJDUMP:")
string(REGEX REPLACE "^[^=]*=" "" OBJDUMP "${cache}")
set(def ${BINARY}/vek_dll.def)
set(dll ${BINARY}/vek_dll.dll)
set(implib ${BINARY}/vek_dll.lib)

# 1. The DLL's export table.
run("export check of ${dll}" ${CMAKE_COMMAND} -DVEK_EXPORTS_ACTION=check -DOBJDUMP=${OBJDUMP}
    -DSOURCE=${SOURCE} -DDLL=${dll} -P ${SOURCE}/cmake/exports.cmake)

run("import check of ${dll}" ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DFILES=${dll}
    -P ${SOURCE}/tools/windows/check-dll-imports.cmake)

# 3. x87 arithmetic in the timing code. Loads and stores stay (a float loaded
# exactly for its truncation to 64 bits, a double returned in st0).
file(GLOB_RECURSE timing_object ${BINARY}/CMakeFiles/timing.cpp.obj)
if(NOT timing_object)
  message(FATAL_ERROR "no timing.cpp.obj under ${BINARY}/CMakeFiles")
endif()
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${timing_object} OUTPUT_VARIABLE code RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -d ${timing_object} failed")
endif()
string(REGEX MATCHALL "\tfi?(add|sub|subr|mul|div|divr)[a-z]* [^\n]*" x87 "${code}")
if(x87)
  list(JOIN x87 "\n" shown)
  message(FATAL_ERROR "x87 arithmetic in ${timing_object} (build with -msse2 -mfpmath=sse):\n${shown}")
endif()

# 2. A caller linked through the import library.
set(exe ${BINARY}/import_link.exe)
file(REMOVE ${exe})
run("linking ${PROGRAM} against ${implib}" ${CMAKE_C_COMPILER} -std=c11 -Wall -Wextra -Werror
    -I${SOURCE}/include ${PROGRAM} ${implib} -o ${exe})

# The functions the program calls: the exports named in it followed by '('.
include(${SOURCE}/cmake/exports.cmake)
vek_read_def(exports ${def})
file(READ ${PROGRAM} text)
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*\\(" called "${text}")
list(TRANSFORM called REPLACE "\\($" "")
string(REPLACE ";" "|" alternatives "${exports}")
set(called_exports)
foreach(name IN LISTS called)
  if(name MATCHES "^(${alternatives})$")
    list(APPEND called_exports ${name})
  endif()
endforeach()
list(REMOVE_DUPLICATES called_exports)

# What the program imports from vek_dll.dll (objdump -p: after "DLL Name:",
# lines of "<vma> <hint> <name>").
vek_objdump_lines(dump ${OBJDUMP} ${exe})
set(imported)
set(in_dll FALSE)
foreach(line IN LISTS dump)
  if(line MATCHES "DLL Name: (.*)$")
    string(TOLOWER "${CMAKE_MATCH_1}" dll_name)
    set(in_dll FALSE)
    if(dll_name STREQUAL "vek_dll.dll")
      set(in_dll TRUE)
    endif()
  elseif(in_dll AND line MATCHES "^[ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([^ \t]+)$")
    list(APPEND imported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT imported)
list(SORT called_exports)
message(STATUS "${exe} imports from vek_dll.dll: ${imported}")
if(NOT called_exports)
  message(FATAL_ERROR "${PROGRAM} calls none of the exports")
endif()
if(NOT imported STREQUAL called_exports)
  message(FATAL_ERROR "${exe} should import the plain names ${called_exports} from vek_dll.dll")
endif()
