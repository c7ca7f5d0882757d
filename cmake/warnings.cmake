# Warnings for the project's own code (not for third-party headers, which are
# included as system headers). They are errors with VEK_WERROR, which `make
# test` and CI turn on; a packager's build, with other compilers and flags,
# is not stopped by a new warning.
option(VEK_WERROR "Treat warnings in the project's own code as errors" OFF)

function(vek_project_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${VEK_WERROR}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter $<$<BOOL:${VEK_WERROR}>:-Werror>)
  endif()
endfunction()
