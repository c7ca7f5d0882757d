# The names the shared library exports.
#
# The public headers are the one list: every `VEK_API <type> VEK_CALL Name(`
# line of the public headers (vek_export_headers) is an export (a build without the
# image codecs exports the image functions all the same). At configure time
# they are written, plain, to <build>/vek_dll.def on Windows, which the DLL is
# linked with and which is installed beside the import library, and to the
# linker version script <build>/vek_dll.map on ELF systems, which makes every
# other symbol local.
#
# Plain names matter on 32-bit Windows, where the exports are __stdcall and
# the compiler decorates them (_VekDevAlloc@12): programs and other languages
# look the functions up by their plain names.
#
# Included by the top-level CMakeLists.txt:
#   vek_windows_exports(<shared target> <object library>)   (Windows)
#   vek_version_script(<shared target>)                     (ELF systems)
# Run as a script (cmake -DVEK_EXPORTS_ACTION=... -P cmake/exports.cmake):
#   implib32  after a 32-bit MinGW link: the import library from the
#             decorated names (NM, DLLTOOL, DEF, OBJECTS, DLL_NAME, IMPLIB)
#   check     the DLL's export table holds exactly the names the headers
#             declare (OBJDUMP, DLL, SOURCE: the source tree)

# The lines of `objdump -p <file>` (its headers, export and import tables),
# one list element each, into <out_var>.
function(vek_objdump_lines out_var objdump file)
  execute_process(COMMAND ${objdump} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${objdump} -p ${file} failed")
  endif()
  string(REPLACE ";" "," dump "${dump}")
  string(REPLACE "\n" ";" dump "${dump}")
  set(${out_var} "${dump}" PARENT_SCOPE)
endfunction()

# The headers whose declarations are the exports, under <source>/include.
macro(vek_export_headers out_var source)
  set(${out_var} ${source}/include/vek_dll.h ${source}/include/vek_sim.h ${source}/include/vek_names.h
    ${source}/include/vek_files.h ${source}/include/vek_registers.h ${source}/include/vek_version.h.in)
endmacro()

# Export names declared by the headers, in their order, into <out_var>.
function(vek_export_names out_var)
  set(names)
  foreach(header ${ARGN})
    file(READ ${header} text)
    # One element per line (the declarations end with ';', the list separator).
    string(REPLACE ";" "," text "${text}")
    string(REPLACE "\n" ";" lines "${text}")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "^VEK_API[ \t]")
        continue()
      endif()
      # The name and its '(' are on the declaration's first line; a line that
      # does not read so would leave an export out, so it stops the build.
      if(NOT line MATCHES "^VEK_API[ \t][^(]*VEK_CALL[ \t]*([A-Za-z_][A-Za-z0-9_]*)[ \t]*\\(")
        message(FATAL_ERROR "${header}: cannot read the export's name from: ${line}\n"
                            "(write `VEK_API <type> VEK_CALL Name(` on one line)")
      endif()
      list(APPEND names ${CMAKE_MATCH_1})
    endforeach()
  endforeach()
  list(LENGTH names count)
  list(REMOVE_DUPLICATES names)
  list(LENGTH names unique)
  if(NOT count EQUAL unique)
    message(FATAL_ERROR "an export is declared twice in: ${ARGN}")
  endif()
  set(${out_var} ${names} PARENT_SCOPE)
endfunction()

# The names listed after EXPORTS in a .def file (first word of each entry).
function(vek_read_def out_var def)
  file(STRINGS ${def} lines)
  set(names)
  set(in_exports FALSE)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ";.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    elseif(line MATCHES "^EXPORTS")
      set(in_exports TRUE)
    elseif(in_exports AND line MATCHES "^([^ \t=]+)")
      list(APPEND names ${CMAKE_MATCH_1})
    endif()
  endforeach()
  set(${out_var} ${names} PARENT_SCOPE)
endfunction()

# Writes the plain .def of <target> (a shared library built from the objects
# of <objects>), links <target> with it and installs it with the import
# library. Sets VEK_DLL_DEF in the caller to the file's path.
function(vek_windows_exports target objects)
  vek_export_headers(headers ${PROJECT_SOURCE_DIR})
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${headers})
  vek_export_names(names ${headers})
  list(JOIN names "\n    " lines)
  set(def ${PROJECT_BINARY_DIR}/${target}.def)
  # Rewritten only when the list changes, so a reconfigure does not relink.
  file(CONFIGURE OUTPUT ${def} @ONLY CONTENT
"; Exports of ${target}.dll, made from the public headers at configure time.
LIBRARY ${target}.dll
EXPORTS
    ${lines}
")
  target_sources(${target} PRIVATE ${def})
  set(VEK_DLL_DEF ${def} PARENT_SCOPE)

  # MSVC needs nothing more: its linker matches a plain .def name to the
  # decorated __stdcall symbol (_VekDevAlloc@12) itself, and its import
  # library lets callers, whose references stay decorated, reach the plain
  # export. 64-bit Windows has no decoration at all.
  if(NOT (MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 4))
    return()
  endif()
  # GNU ld on 32-bit: dllexport and the .def together would export both
  # VekDevAlloc and VekDevAlloc@12; --kill-at keeps the plain names alone
  # (matching them to the decorated symbols is meant, hence the fixup flag
  # that quietens ld's note about it). But the import library ld then
  # writes holds plain symbols (__imp__VekDevAlloc), which callers
  # compiled with vek_dll.h (they reference __imp__VekDevAlloc@12) cannot
  # link against. So the import library is made again after the link, by
  # dlltool from the decorated names read off the objects, with -k: each
  # decorated symbol imports the plain name.
  foreach(tool NM DLLTOOL)
    if(NOT CMAKE_${tool})
      message(FATAL_ERROR "32-bit MinGW build: CMAKE_${tool} not found (the toolchain's ${tool} is needed for the import library)")
    endif()
  endforeach()
  target_link_options(${target} PRIVATE -Wl,--kill-at -Wl,--enable-stdcall-fixup)
  set(object_list ${PROJECT_BINARY_DIR}/${target}-objects.txt)
  file(GENERATE OUTPUT ${object_list} CONTENT "$<JOIN:$<TARGET_OBJECTS:${objects}>,\n>\n")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DVEK_EXPORTS_ACTION=implib32
            -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} -DDEF=${def} -DOBJECTS=${object_list}
            -DDLL_NAME=$<TARGET_FILE_NAME:${target}> -DIMPLIB=$<TARGET_LINKER_FILE:${target}>
            -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMENT "Import library of ${target} for the decorated __stdcall names"
    VERBATIM)
endfunction()

# Writes the version script of <target> (a shared library): the header's
# functions global, everything else local; links <target> with it. Sets
# VEK_DLL_MAP in the caller to the file's path.
function(vek_version_script target)
  vek_export_headers(headers ${PROJECT_SOURCE_DIR})
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${headers})
  vek_export_names(names ${headers})
  list(JOIN names ";\n    " lines)
  set(map ${PROJECT_BINARY_DIR}/${target}.map)
  file(CONFIGURE OUTPUT ${map} @ONLY CONTENT
"/* Exports of lib${target}, made from the public headers at configure time. */
{
  global:
    ${lines};
  local:
    *;
};
")
  target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
  set(VEK_DLL_MAP ${map} PARENT_SCOPE)
endfunction()

# ---- Script mode -------------------------------------------------------------

if(NOT CMAKE_SCRIPT_MODE_FILE OR NOT CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  return()
endif()

if(VEK_EXPORTS_ACTION STREQUAL "implib32")
  # Every plain name of the .def paired with the one decorated __stdcall
  # symbol (_Name@N, N the bytes of arguments) defined in the objects.
  vek_read_def(names ${DEF})
  file(STRINGS ${OBJECTS} objects)
  execute_process(COMMAND ${NM} --defined-only --extern-only ${objects}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on the objects listed in ${OBJECTS}")
  endif()
  string(REGEX MATCHALL " T _[A-Za-z0-9_]+@[0-9]+" symbols "${symbols}")
  set(decorated)
  foreach(name IN LISTS names)
    set(found)
    foreach(symbol IN LISTS symbols)
      if(symbol MATCHES "^ T _${name}@([0-9]+)$")
        list(APPEND found ${name}@${CMAKE_MATCH_1})
      endif()
    endforeach()
    list(LENGTH found count)
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "${name}: expected one __stdcall definition (_${name}@N) in the objects, found ${count}: ${found}")
    endif()
    list(APPEND decorated ${found})
  endforeach()
  list(JOIN decorated "\n    " lines)
  get_filename_component(implib_dir ${IMPLIB} DIRECTORY)
  set(decorated_def ${implib_dir}/${DLL_NAME}-decorated.def)
  file(WRITE ${decorated_def} "LIBRARY ${DLL_NAME}\nEXPORTS\n    ${lines}\n")
  # Run beside the library: dlltool names its internal symbols after the
  # path given to -l.
  get_filename_component(implib_name ${IMPLIB} NAME)
  execute_process(COMMAND ${DLLTOOL} -d ${decorated_def} -l ${implib_name} -k -D ${DLL_NAME}
    WORKING_DIRECTORY ${implib_dir} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${DLLTOOL} could not write ${IMPLIB}")
  endif()

elseif(VEK_EXPORTS_ACTION STREQUAL "check")
  # The export table of the DLL (objdump -p) against the headers: same
  # names, none decorated, none missing, none extra.
  vek_export_headers(headers ${SOURCE})
  vek_export_names(expected ${headers})
  vek_objdump_lines(dump ${OBJDUMP} ${DLL})
  set(exported)
  set(in_table FALSE)
  foreach(line IN LISTS dump)
    if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
      set(in_table TRUE)
    elseif(in_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
      list(APPEND exported "${CMAKE_MATCH_1}")
    elseif(in_table)
      break()
    endif()
  endforeach()
  list(LENGTH expected expected_count)
  list(LENGTH exported exported_count)
  message(STATUS "${DLL}: ${exported_count} exports; the headers: ${expected_count} names")
  set(missing ${expected})
  set(extra ${exported})
  list(REMOVE_ITEM missing ${exported})
  list(REMOVE_ITEM extra ${expected})
  set(decorated ${exported})
  list(FILTER decorated INCLUDE REGEX "@")
  set(failed FALSE)
  if(expected_count EQUAL 0)
    message(SEND_ERROR "the headers declare no exports")
    set(failed TRUE)
  endif()
  foreach(kind missing extra decorated)
    if(${kind})
      list(JOIN ${kind} " " shown)
      message(SEND_ERROR "${kind}: ${shown}")
      set(failed TRUE)
    endif()
  endforeach()
  if(NOT exported_count EQUAL expected_count AND NOT failed)
    message(SEND_ERROR "${exported_count} exports for ${expected_count} names (a name exported twice?)")
    set(failed TRUE)
  endif()
  if(failed)
    message(FATAL_ERROR "${DLL} does not export exactly the names the headers declare")
  endif()

else()
  message(FATAL_ERROR "VEK_EXPORTS_ACTION must be implib32 or check, not '${VEK_EXPORTS_ACTION}'")
endif()
