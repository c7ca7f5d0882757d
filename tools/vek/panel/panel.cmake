# vek panel: the tool's web control panel, built when an HTTP library for the
# target is there and the tool has image support (uploads and thumbnails go
# through the image loader and OpenCV). Natively it links Debian's
# cpp-httplib (a split header and its shared library); a cross build takes
# the single-header httplib.h from the target prefix. Without either, the
# subcommand says it is left out of the build.
set(VEK_PANEL_REASON "")
if(NOT VEK_HAVE_IMAGES)
  set(VEK_PANEL_REASON "no image support")
elseif(CMAKE_CROSSCOMPILING)
  find_path(VEK_HTTPLIB_INCLUDE_DIR httplib.h DOC "the target's folder holding cpp-httplib's single header")
  if(NOT VEK_HTTPLIB_INCLUDE_DIR)
    set(VEK_PANEL_REASON "no httplib.h in the target prefix")
  endif()
else()
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(VEK_HTTPLIB IMPORTED_TARGET cpp-httplib)
  endif()
  if(NOT VEK_HTTPLIB_FOUND)
    set(VEK_PANEL_REASON "cpp-httplib not found (Debian: libcpp-httplib-dev)")
  endif()
endif()

if(VEK_PANEL_REASON)
  message(STATUS "vek: without the panel (${VEK_PANEL_REASON})")
  target_sources(vek PRIVATE panel/panel_absent.cpp)
  set(VEK_HAVE_PANEL OFF CACHE INTERNAL "vek panel is built")
  return()
endif()
set(VEK_HAVE_PANEL ON CACHE INTERNAL "vek panel is built")

set(panel_web_files index.html panel.css panel.js)
set(panel_web_dir ${CMAKE_CURRENT_SOURCE_DIR}/panel/web)
list(TRANSFORM panel_web_files PREPEND ${panel_web_dir}/ OUTPUT_VARIABLE panel_web_paths)
set(panel_assets ${CMAKE_CURRENT_BINARY_DIR}/panel_assets.cpp)
add_custom_command(OUTPUT ${panel_assets}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${panel_assets} -DDIR=${panel_web_dir} "-DFILES=${panel_web_files}"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/panel/embed_assets.cmake
  DEPENDS ${panel_web_paths} ${CMAKE_CURRENT_SOURCE_DIR}/panel/embed_assets.cmake
  COMMENT "Embedding the panel's page"
  VERBATIM)
target_sources(vek PRIVATE panel/panel.cpp panel/routes.cpp panel/session.cpp panel/guard.cpp
  panel/board_lock.cpp ${panel_assets})
if(CMAKE_CROSSCOMPILING)
  target_include_directories(vek SYSTEM PRIVATE ${VEK_HTTPLIB_INCLUDE_DIR})
  if(WIN32)
    target_link_libraries(vek PRIVATE ws2_32)
  endif()
else()
  target_link_libraries(vek PRIVATE PkgConfig::VEK_HTTPLIB)
endif()
