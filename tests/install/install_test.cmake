# cmake -P script: install, then use the installation as its users do: the
# installed programs, a C program (the bench check, vek-selftest, a user of
# the public headers alone) built with pkg-config and with find_package(vek),
# the library's export table, and the Python package (as
# installed by cmake --install, and by pip into a virtual environment).
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# Every check reads only what it is given.
unset(ENV{VEK_LIBRARY})
unset(ENV{PYTHONPATH})
unset(ENV{LD_LIBRARY_PATH})

file(REMOVE_RECURSE ${WORK_DIR})
# Staged with DESTDIR, so that nothing (not even a rule with an absolute
# destination) lands outside the work folder; the installation is relocatable.
set(ENV{DESTDIR} ${WORK_DIR}/stage)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /opt/vek)
unset(ENV{DESTDIR})
set(prefix ${WORK_DIR}/stage/opt/vek)

# The udev rule gives access through uaccess always; udev does not read
# /opt/vek, so the install says where to copy the rule.
if(UDEV_RULE)
  file(READ ${prefix}/lib/udev/rules.d/70-vek.rules rule)
  if(NOT rule MATCHES "ATTR\\{idVendor\\}==\"1209\", ATTR\\{idProduct\\}==\"7e40\", TAG\\+=\"uaccess\""
     OR NOT rule MATCHES "ATTR\\{product\\}==\"VEK4.0\\*\", TAG\\+=\"uaccess\""
     OR NOT run_output MATCHES "udev does not read [^\n]*opt/vek[^\n]*\n *sudo cp [^\n]* /etc/udev/rules.d/")
    message(FATAL_ERROR "udev rule: not installed with uaccess, or no word on where to copy it:\n${run_output}")
  endif()
endif()

# Installed to /usr (the configured prefix may differ), vek.pc adds no run path.
set(ENV{DESTDIR} ${WORK_DIR}/usr-stage)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr --component Unspecified)
file(READ ${WORK_DIR}/usr-stage/usr/${LIBDIR}/pkgconfig/vek.pc usr_pc)
if(usr_pc MATCHES "rpath")
  message(FATAL_ERROR "vek.pc installed to /usr keeps a run path:\n${usr_pc}")
endif()
unset(ENV{DESTDIR})

foreach(f include/vek/vek_dll.h include/vek/vek_sim.h bin/vek bin/vek-selftest
          ${LIBDIR}/pkgconfig/vek.pc ${LIBDIR}/cmake/vek/vekConfig.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB libs ${prefix}/${LIBDIR}/libvek_dll.so.*.*)
if(NOT libs)
  message(FATAL_ERROR "libvek_dll.so not installed in ${LIBDIR}")
endif()

# The library exports the functions of its headers and nothing else: no
# symbol of the C++ runtime compiled into it (which, GNU-unique, would also
# keep it from being unloaded).
include(${SOURCE_ROOT}/cmake/exports.cmake)
vek_export_headers(headers ${SOURCE_ROOT})
vek_export_names(expected ${headers})
run(${NM} -D --defined-only ${libs})
string(REGEX MATCHALL "[^\n]+" lines "${run_output}")
set(exported)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND exported ${name})
endforeach()
set(extra ${exported})
set(missing ${expected})
list(REMOVE_ITEM extra ${expected})
list(REMOVE_ITEM missing ${exported})
if(extra OR missing)
  message(FATAL_ERROR "the library's exports differ from its headers' functions:\n"
                      "  not declared in a header: ${extra}\n  missing: ${missing}")
endif()

# The installed programs find the installed library (their run path).
run(${prefix}/bin/vek --sim --json list)
if(NOT run_output MATCHES "\"vek40\": true")
  message(FATAL_ERROR "installed vek did not list the virtual board:\n${run_output}")
endif()
run(${prefix}/bin/vek-selftest --virtual)

# pkg-config: the README's line, nothing added; the program starts as built.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs vek)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
set(consumer ${SOURCE_ROOT}/tools/selftest/vek_selftest.c)
run(${C_COMPILER} ${extra} ${consumer} ${pc_flags} -o ${WORK_DIR}/consumer_pkgconfig)
run(${WORK_DIR}/consumer_pkgconfig --virtual)
if(NOT run_output MATCHES "ALL PASSED")
  message(FATAL_ERROR "pkg-config consumer: ${run_output}")
endif()

# find_package(vek).
file(WRITE ${WORK_DIR}/project/CMakeLists.txt "
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(vek 1 REQUIRED)
add_executable(consumer ${consumer})
target_compile_options(consumer PRIVATE ${EXTRA_FLAGS})
target_link_options(consumer PRIVATE ${EXTRA_FLAGS})
target_link_libraries(consumer PRIVATE vek::vek_dll)
")
run(${CMAKE_COMMAND} -S ${WORK_DIR}/project -B ${WORK_DIR}/project/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/project/build)
run(${WORK_DIR}/project/build/consumer --virtual)
if(NOT run_output MATCHES "ALL PASSED")
  message(FATAL_ERROR "find_package consumer: ${run_output}")
endif()

if(NOT PYTHON3)
  message(STATUS "installed into ${prefix}; pkg-config and find_package consumers ran (no python3: package not tried)")
  return()
endif()

# The README's Python quick start, without its exports.
file(READ ${SOURCE_ROOT}/README.md readme)
if(NOT readme MATCHES "<<'PY'\n(.*)\nPY\n")
  message(FATAL_ERROR "README.md: no Python quick start (python3 - <<'PY' ... PY) found")
endif()
file(WRITE ${WORK_DIR}/quickstart.py "${CMAKE_MATCH_1}\n")
set(quickstart_output "\\(8, 1080, 240\\) True")

# The package cmake --install wrote finds the library installed with it.
file(GLOB site ${prefix}/lib/python3*/site-packages)
if(NOT site)
  message(FATAL_ERROR "cmake --install put no Python package under ${prefix}/lib/python3.X/site-packages")
endif()
set(ENV{PYTHONPATH} ${site})
run(${PYTHON3} -c "import vek\nprint(vek.__file__)\nprint(vek.library_path)")
if(NOT run_output MATCHES "^${site}/vek/__init__.py\n${prefix}/${LIBDIR}/")
  message(FATAL_ERROR "the installed package did not load the installed library:\n${run_output}")
endif()
run(${PYTHON3} ${WORK_DIR}/quickstart.py)
if(NOT run_output MATCHES "${quickstart_output}")
  message(FATAL_ERROR "quick start with the installed package: ${run_output}")
endif()
unset(ENV{PYTHONPATH})

# pip, offline, into a virtual environment that sees the system's numpy; the
# package is copied first, since setuptools builds in the source folder.
run(${PYTHON3} -m venv --system-site-packages ${WORK_DIR}/venv)
file(COPY ${SOURCE_ROOT}/python DESTINATION ${WORK_DIR} PATTERN __pycache__ EXCLUDE)
run(${WORK_DIR}/venv/bin/python -m pip install -q --no-index --no-build-isolation ${WORK_DIR}/python)
# The library through the system's search (here LD_LIBRARY_PATH), and through VEK_LIBRARY.
set(ENV{LD_LIBRARY_PATH} ${prefix}/${LIBDIR})
run(${WORK_DIR}/venv/bin/python ${WORK_DIR}/quickstart.py)
if(NOT run_output MATCHES "${quickstart_output}")
  message(FATAL_ERROR "quick start, pip-installed package, library on the search path: ${run_output}")
endif()
unset(ENV{LD_LIBRARY_PATH})
set(ENV{VEK_LIBRARY} ${BUILT_LIBRARY})
run(${WORK_DIR}/venv/bin/python ${WORK_DIR}/quickstart.py)
if(NOT run_output MATCHES "${quickstart_output}")
  message(FATAL_ERROR "quick start, pip-installed package, VEK_LIBRARY: ${run_output}")
endif()
message(STATUS "installed into ${prefix}; programs, pkg-config and find_package consumers, exports and Python package checked")
