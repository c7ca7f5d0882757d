# A cross build has no GoogleTest for its target: it is built here from the
# sources Debian ships with it (package googletest, /usr/src/googletest), with
# the targets named as find_package(GTest) names them.
find_path(VEK_GOOGLETEST_SOURCE CMakeLists.txt PATHS /usr/src/googletest NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT VEK_GOOGLETEST_SOURCE)
  message(STATUS "vek: GoogleTest's sources not found in /usr/src/googletest (Debian: googletest)")
  return()
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VEK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gtest_main gmock)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
