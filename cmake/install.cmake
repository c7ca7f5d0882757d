# Installation: the shared library, both headers, the vek tool, a pkg-config
# file (vek.pc) and a CMake package (find_package(vek) -> vek::vek_dll).
# Both descriptions locate the prefix relative to themselves, so an
# installation can be moved (cmake --install --prefix DIR works as well).
include(CMakePackageConfigHelpers)

set(VEK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vek)

install(TARGETS vek_dll EXPORT vekTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vek_dll.h ${PROJECT_SOURCE_DIR}/include/vek_sim.h
  ${PROJECT_SOURCE_DIR}/include/vek_names.h ${PROJECT_SOURCE_DIR}/include/vek_files.h
  ${PROJECT_BINARY_DIR}/include/vek_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET vek)
  install(TARGETS vek RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# Windows: the list of plain export names beside the import library, for
# linkers and tools that make their own import library from it.
if(WIN32 AND VEK_DLL_DEF)
  install(FILES ${VEK_DLL_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# CMake package.
install(EXPORT vekTargets NAMESPACE vek:: FILE vekTargets.cmake DESTINATION ${VEK_CMAKE_DIR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/vekConfig.cmake.in [=[
# vek: the host library for VEK pattern-projection boards.
#   find_package(vek)  ->  target vek::vek_dll (headers vek_dll.h, vek_sim.h)
@PACKAGE_INIT@
include("${CMAKE_CURRENT_LIST_DIR}/vekTargets.cmake")
check_required_components(vek)
]=])
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/vekConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vekConfig.cmake
  INSTALL_DESTINATION ${VEK_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vekConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vekConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/vekConfigVersion.cmake
  DESTINATION ${VEK_CMAKE_DIR})

# pkg-config file; the prefix is found from the file's own folder.
file(RELATIVE_PATH VEK_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VEK_PC_TO_PREFIX "${VEK_PC_TO_PREFIX}")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vek.pc @ONLY CONTENT [=[
prefix=${pcfiledir}/@VEK_PC_TO_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: vek
Description: Host library for VEK pattern-projection boards, with a virtual board
Version: @PROJECT_VERSION@
Libs: -L${libdir} -lvek_dll
Cflags: -I${includedir}
]=])
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vek.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
