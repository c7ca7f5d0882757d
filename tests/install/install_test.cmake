# cmake -P script: install, then build and run consumer.c both ways.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
# Staged with DESTDIR, so that nothing (not even a rule with an absolute
# destination) lands outside the work folder; the installation is relocatable.
set(ENV{DESTDIR} ${WORK_DIR}/stage)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /opt/vek)
unset(ENV{DESTDIR})
set(prefix ${WORK_DIR}/stage/opt/vek)

foreach(f include/vek_dll.h include/vek_sim.h bin/vek ${LIBDIR}/pkgconfig/vek.pc ${LIBDIR}/cmake/vek/vekConfig.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB libs ${prefix}/${LIBDIR}/libvek_dll.so*)
if(NOT libs)
  message(FATAL_ERROR "libvek_dll.so not installed in ${LIBDIR}")
endif()

# The installed tool finds the installed library (its run path).
run(${prefix}/bin/vek --sim --json list)
if(NOT run_output MATCHES "\"vek40\": true")
  message(FATAL_ERROR "installed vek did not list the virtual board:\n${run_output}")
endif()

# pkg-config.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs vek)
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
run(${C_COMPILER} ${extra} ${SOURCE_DIR}/consumer.c ${pc_flags} -Wl,-rpath,${prefix}/${LIBDIR}
    -o ${WORK_DIR}/consumer_pkgconfig)
run(${WORK_DIR}/consumer_pkgconfig)
if(NOT run_output MATCHES "consumer ok")
  message(FATAL_ERROR "pkg-config consumer: ${run_output}")
endif()

# find_package(vek).
file(WRITE ${WORK_DIR}/project/CMakeLists.txt "
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(vek 1 REQUIRED)
add_executable(consumer ${SOURCE_DIR}/consumer.c)
target_compile_options(consumer PRIVATE ${EXTRA_FLAGS})
target_link_options(consumer PRIVATE ${EXTRA_FLAGS})
target_link_libraries(consumer PRIVATE vek::vek_dll)
")
run(${CMAKE_COMMAND} -S ${WORK_DIR}/project -B ${WORK_DIR}/project/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/project/build)
run(${WORK_DIR}/project/build/consumer)
if(NOT run_output MATCHES "consumer ok")
  message(FATAL_ERROR "find_package consumer: ${run_output}")
endif()
message(STATUS "installed into ${prefix}; pkg-config and find_package consumers ran")
