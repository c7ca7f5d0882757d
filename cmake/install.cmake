# Installation, all of it: the shared library and its preview module, the headers (in include/vek/),
# the programs, the udev rule, the Python package, a pkg-config file (vek.pc)
# and a CMake package (find_package(vek) -> vek::vek_dll). Both descriptions
# and the programs' run paths locate the prefix relative to themselves, so an
# installation can be moved (cmake --install --prefix DIR works as well).
include(CMakePackageConfigHelpers)

set(VEK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vek)
# The headers go in a folder of their own; the include path names it, so
# programs keep writing #include <vek_dll.h>.
set(VEK_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/vek)

install(TARGETS vek_dll EXPORT vekTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${VEK_INCLUDE_DIR})
install(FILES ${VEK_PUBLIC_HEADERS} DESTINATION ${VEK_INCLUDE_DIR})
# The preview module, beside the library, where the library looks for it.
if(TARGET vek_preview)
  if(WIN32)
    install(TARGETS vek_preview LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
  else()
    install(TARGETS vek_preview LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()
# Windows: the list of plain export names beside the import library, for
# linkers and tools that make their own import library from it.
if(WIN32 AND VEK_DLL_DEF)
  install(FILES ${VEK_DLL_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# Programs: they find the library of their own installation, wherever it is.
file(RELATIVE_PATH vek_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
foreach(program vek vek-selftest)
  if(TARGET ${program})
    if(NOT WIN32 AND NOT APPLE)
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${vek_bin_to_lib}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
# The tool's shell completion and manual page.
if(TARGET vek)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/vek/vek.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vek)
endif()
if(TARGET vek_man)
  install(FILES ${PROJECT_BINARY_DIR}/tools/vek/vek.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET vek-selftest)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/selftest/vek-selftest.sh DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The udev rule that gives the logged-in user access to the boards (with the
# libusb backend). It is written at install time: GROUP="plugdev" stays only
# when the installing system has that group (uaccess is always there). udev
# reads /usr/lib/udev/rules.d, /lib/udev/rules.d and /etc/udev/rules.d: the
# rule goes to <prefix>/lib/udev/rules.d (VEK_UDEV_RULES_DIR sets another
# folder), and an install where udev does not look says where to copy it.
if(LIBUSB_FOUND AND NOT WIN32)
  set(VEK_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where cmake --install puts the udev rule for VEK boards (relative: under the prefix)")
  install(CODE "
    set(dir \"${VEK_UDEV_RULES_DIR}\")
    if(NOT IS_ABSOLUTE \"\${dir}\")
      set(dir \"\${CMAKE_INSTALL_PREFIX}/\${dir}\")
    endif()
    file(READ \"${PROJECT_SOURCE_DIR}/udev/70-vek.rules\" rules)
    execute_process(COMMAND getent group plugdev RESULT_VARIABLE noPlugdev OUTPUT_QUIET ERROR_QUIET)
    if(NOT noPlugdev EQUAL 0)
      string(REPLACE \", GROUP=\\\"plugdev\\\"\" \"\" rules \"\${rules}\")
      message(STATUS \"No plugdev group here: the udev rule gives access through uaccess only\")
    endif()
    file(WRITE \"${PROJECT_BINARY_DIR}/udev/70-vek.rules\" \"\${rules}\")
    file(INSTALL \"${PROJECT_BINARY_DIR}/udev/70-vek.rules\" DESTINATION \"\${dir}\")
    if(NOT dir MATCHES \"^(/usr)?/lib/udev/rules.d/?$|^/etc/udev/rules.d/?$\")
      message(STATUS \"udev does not read \${dir}: to let users open boards, run\\n\"
        \"  sudo cp '\$ENV{DESTDIR}\${dir}/70-vek.rules' /etc/udev/rules.d/ && \"
        \"sudo udevadm control --reload && sudo udevadm trigger\")
    endif()
  ")
endif()

# The Python package, where the Python of the prefix reads packages (the
# folder is found at install time, since --prefix may change it): Debian's
# python3 reads lib/python3/dist-packages under /usr and
# lib/python3.X/dist-packages under /usr/local; every other prefix gets
# lib/python3.X/site-packages (~/.local: the user's site folder; elsewhere,
# PYTHONPATH). Beside it, _installed.py tells the package where its library
# is. VEK_PYTHON_INSTALL_DIR (relative to the prefix) sets the folder; OFF
# leaves the package out.
if(NOT WIN32)
  find_program(VEK_INSTALL_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(VEK_INSTALL_PYTHON3 python3)
  set(VEK_PYTHON_INSTALL_DIR "" CACHE STRING
    "Where cmake --install puts the Python package, relative to the prefix (empty: found from the prefix; OFF: not installed)")
endif()
if(NOT WIN32 AND NOT VEK_PYTHON_INSTALL_DIR STREQUAL "OFF" AND (VEK_INSTALL_PYTHON3 OR VEK_PYTHON_INSTALL_DIR))
  install(CODE "
    set(site \"${VEK_PYTHON_INSTALL_DIR}\")
    if(NOT site)
      execute_process(COMMAND \"${VEK_INSTALL_PYTHON3}\" -c [=[
import sys, sysconfig
prefix = sys.argv[1].rstrip('/')
version = 'python%d.%d' % sys.version_info[:2]
debian = 'deb_system' in sysconfig.get_scheme_names()
if debian and prefix == '/usr':
    print('lib/python3/dist-packages')
elif debian and prefix == '/usr/local':
    print('lib/' + version + '/dist-packages')
else:
    print('lib/' + version + '/site-packages')
]=] \"\${CMAKE_INSTALL_PREFIX}\" OUTPUT_VARIABLE site OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    endif()
    # file(INSTALL) adds DESTDIR itself; file(WRITE) does not.
    set(package \"\${CMAKE_INSTALL_PREFIX}/\${site}/vek\")
    file(INSTALL \"${PROJECT_SOURCE_DIR}/python/vek/\" DESTINATION \"\${package}\"
      FILES_MATCHING PATTERN \"*.py\" PATTERN \"py.typed\" PATTERN \"__pycache__\" EXCLUDE)
    file(RELATIVE_PATH library \"\${package}\"
      \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_SONAME_FILE_NAME:vek_dll>\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${package}/_installed.py\")
    file(WRITE \"\$ENV{DESTDIR}\${package}/_installed.py\"
      \"# Written by cmake --install: the library, relative to this folder.\\nLIBRARY = '\${library}'\\n\")
  ")
endif()

# The C reference, when it was built (make docs).
install(DIRECTORY ${PROJECT_BINARY_DIR}/docs/html/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/html OPTIONAL)

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

# pkg-config file; the prefix is found from the file's own folder. A program
# linked with it carries the library's folder as its run path, so it starts
# from any prefix without LD_LIBRARY_PATH (not under /usr, where the system
# finds the library and distributions want no run path). The run path is
# decided when installing, from the prefix installed to (cmake --install
# --prefix may differ from the configured one).
file(RELATIVE_PATH VEK_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" VEK_PC_TO_PREFIX "${VEK_PC_TO_PREFIX}")
set(VEK_PC_RPATH "%RPATH%")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vek.pc.in @ONLY CONTENT [=[
prefix=${pcfiledir}/@VEK_PC_TO_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@VEK_INCLUDE_DIR@

Name: vek
Description: Host library for VEK pattern-projection boards, with a virtual board
Version: @PROJECT_VERSION@
Libs: -L${libdir} -lvek_dll@VEK_PC_RPATH@
Cflags: -I${includedir}
]=])
if(WIN32 OR APPLE)
  set(VEK_PC_RPATH_WANTED OFF)
else()
  set(VEK_PC_RPATH_WANTED ON)
endif()
install(CODE "set(VEK_PC_TEMPLATE \"${CMAKE_CURRENT_BINARY_DIR}/vek.pc.in\")
  set(VEK_PC_DIR \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
  set(VEK_PC_RPATH_WANTED ${VEK_PC_RPATH_WANTED})")
install(CODE [=[
  set(rpath "")
  if(VEK_PC_RPATH_WANTED AND NOT CMAKE_INSTALL_PREFIX MATCHES "^/usr/*$")
    set(rpath " -Wl,-rpath,\${libdir}")
  endif()
  file(READ "${VEK_PC_TEMPLATE}" pc)
  string(REPLACE "%RPATH%" "${rpath}" pc "${pc}")
  get_filename_component(staged "${VEK_PC_TEMPLATE}" DIRECTORY)
  file(WRITE "${staged}/pc/vek.pc" "${pc}")
  file(INSTALL "${staged}/pc/vek.pc" DESTINATION "${CMAKE_INSTALL_PREFIX}/${VEK_PC_DIR}")
]=])
