# Fails when a Windows program or DLL imports from any DLL that is not part of
# Windows: OpenCV, its codecs and the MinGW runtime are to be linked in.
#
#   cmake -DOBJDUMP=<objdump> -DFILES="<dll or exe>;..." [-DALSO=<dll>;...]
#         -P tools/windows/check-dll-imports.cmake
# ALSO names DLLs that the files may import besides Windows' own (vek.exe:
# vek_dll.dll).
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/exports.cmake)

# Windows' own DLLs (lower case), and the API sets that stand for them.
set(windows_dlls kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll
  setupapi.dll cfgmgr32.dll winusb.dll ws2_32.dll msvcrt.dll ucrtbase.dll ntdll.dll bcrypt.dll
  shlwapi.dll comdlg32.dll comctl32.dll crypt32.dll secur32.dll rpcrt4.dll version.dll winmm.dll
  userenv.dll iphlpapi.dll psapi.dll dbghelp.dll mswsock.dll)
string(TOLOWER "${ALSO}" also)

set(failed)
foreach(file IN LISTS FILES)
  vek_objdump_lines(dump ${OBJDUMP} ${file})
  set(imports)
  foreach(line IN LISTS dump)
    if(line MATCHES "DLL Name: (.*)$")
      string(TOLOWER "${CMAKE_MATCH_1}" name)
      list(APPEND imports ${name})
      if(NOT name IN_LIST windows_dlls AND NOT name IN_LIST also AND NOT name MATCHES "^api-ms-win-")
        list(APPEND failed "${file}: ${name}")
      endif()
    endif()
  endforeach()
  if(NOT imports)
    list(APPEND failed "${file}: no import table found")
  endif()
  list(JOIN imports " " shown)
  message(STATUS "${file} imports: ${shown}")
endforeach()
if(failed)
  list(JOIN failed "\n  " shown)
  message(FATAL_ERROR "imports from DLLs that are not part of Windows:\n  ${shown}")
endif()
