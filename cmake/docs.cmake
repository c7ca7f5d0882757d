# The C reference: `cmake --build <dir> --target docs` (make docs) writes HTML
# to <dir>/docs/html from the public headers' comments and the pages of
# docs/ that walk through their use. Needs Doxygen; without it there is no
# docs target.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "vek: the C reference (target docs) needs Doxygen (Debian: doxygen)")
  return()
endif()
set(DOXYGEN_PROJECT_NAME "vek")
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_PROJECT_BRIEF "Host library for VEK pattern-projection boards")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C YES)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_NO_PARAMDOC NO)
# Every export, type and macro documented, or the reference fails (the test
# reference_docs of `make test` runs it).
set(DOXYGEN_WARN_AS_ERROR YES)
set(DOXYGEN_TYPEDEF_HIDES_STRUCT YES)
set(DOXYGEN_FULL_PATH_NAMES NO)
set(DOXYGEN_ENABLE_PREPROCESSING YES)
set(DOXYGEN_MACRO_EXPANSION YES)
set(DOXYGEN_EXPAND_ONLY_PREDEF YES)
# The export and calling-convention macros read as nothing.
set(DOXYGEN_PREDEFINED "VEK_API=" "VEK_CALL=")
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/docs/typical-use.md)
set(DOXYGEN_QUIET YES)
doxygen_add_docs(docs
  ${PROJECT_SOURCE_DIR}/docs/typical-use.md ${VEK_PUBLIC_HEADERS}
  COMMENT "C reference (HTML) in ${PROJECT_BINARY_DIR}/docs/html")
if(VEK_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME reference_docs COMMAND ${DOXYGEN_EXECUTABLE} ${PROJECT_BINARY_DIR}/Doxyfile.docs
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  set_tests_properties(reference_docs PROPERTIES LABELS docs)
endif()
