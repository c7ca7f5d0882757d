# Runs the vek tool as a user would and checks what it prints, its exit
# status and the files it reads and writes. In every build, a cross build's
# vek.exe under its emulator too (where the pytest suite does not reach); the
# pytest suite leaves these checks to it. One group checks a build without
# image support.
#
#   cmake -DVEK=<vek> [-DEMULATOR=<runner>] -DWORK=<folder> -DCHECK=<name> -P tool_checks.cmake
#
# CHECK names one group of checks (the functions check_<name> below). WORK is
# emptied first; the tool runs in it.

cmake_minimum_required(VERSION 3.25)
foreach(var VEK WORK CHECK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "tool_checks.cmake: -D${var}=... is required")
  endif()
endforeach()

# vek(<args>...): runs the tool; sets status, out and err (with the line ends
# of either system read as "\n").
function(vek)
  execute_process(COMMAND ${EMULATOR} ${VEK} ${ARGN}
    WORKING_DIRECTORY ${WORK}
    RESULT_VARIABLE result OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr
    TIMEOUT 120)
  string(REPLACE "\r\n" "\n" stdout "${stdout}")
  string(REPLACE "\r\n" "\n" stderr "${stderr}")
  set(status "${result}" PARENT_SCOPE)
  set(out "${stdout}" PARENT_SCOPE)
  set(err "${stderr}" PARENT_SCOPE)
  set(last_command "vek ${ARGN}" PARENT_SCOPE)
endfunction()

function(fail what)
  message(FATAL_ERROR "${last_command}: ${what}\n  exit status: ${status}\n  stdout:\n${out}\n  stderr:\n${err}")
endfunction()

macro(expect_status want)
  if(NOT "${status}" STREQUAL "${want}")
    fail("exit status ${status}, expected ${want}")
  endif()
endmacro()

# expect_match(<variable> <regex>) and expect_no_match(<variable> <regex>)
macro(expect_match stream regex)
  if(NOT "${${stream}}" MATCHES "${regex}")
    fail("${stream} does not match '${regex}'")
  endif()
endmacro()
macro(expect_no_match stream regex)
  if("${${stream}}" MATCHES "${regex}")
    fail("${stream} matches '${regex}'")
  endif()
endmacro()

# expect_json(<json> <value> <key or index>...): a member of a JSON document.
macro(expect_json json want)
  string(JSON got ERROR_VARIABLE json_error GET "${json}" ${ARGN})
  if(json_error)
    fail("JSON member '${ARGN}': ${json_error}")
  endif()
  if(NOT "${got}" STREQUAL "${want}")
    fail("JSON member '${ARGN}' is '${got}', expected '${want}'")
  endif()
endmacro()

function(read_text path var)
  if(NOT EXISTS ${WORK}/${path})
    fail("${path} was not written")
  endif()
  file(READ ${WORK}/${path} text)
  string(REPLACE "\r\n" "\n" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# ---- The checks --------------------------------------------------------------

# The attached boards are listed with the virtual board's device name; with no
# board, the tool says so rather than failing.
function(check_list)
  vek(--sim --sim-boards 2 list)
  expect_status(0)
  expect_match(out "\n0 +virtual-0 +VEKSIM0001 +1209:7e40 +VEK4\\.0 Virtual Board +VEK FW 4\\.0 sim +yes\n1 +virtual-1 +VEKSIM0002 +1209:7e40 +VEK4\\.0 Virtual Board +VEK FW 4\\.0 sim +yes\n$")
  vek(--sim --json list)
  expect_status(0)
  expect_json("${out}" "VEK4.0 Virtual Board" boards 0 device_name)
  expect_json("${out}" "ON" boards 0 vek40)
  vek(list)
  expect_status(0)
  expect_match(out "No VEK board is attached")
endfunction()

# A register written and read back through the board: the margin command
# writes 0x20 and verifies it; the trace shows both packets with the value.
# A read of the board type register gives what the virtual board was made
# with; written registers show in the trace (on standard error with "-").
# A stale reply is said.
function(check_register_round_trip)
  vek(--sim --sim-trace trace.txt control margin 0x1234)
  expect_status(0)
  read_text(trace.txt trace)
  expect_match(trace "register write 0x20 = 0x00001234\n")
  expect_match(trace "register read 0x20 -> 0x00001234")
  vek(--sim --sim-board-type 0x10000000 --json reg read 0x02)
  expect_status(0)
  expect_json("${out}" 268435456 value)
  vek(--sim --sim-trace - reg write 0x40 0xCAFE)
  expect_status(0)
  expect_match(out "register 0x00000040 <- 0x0000CAFE")
  expect_match(err "register write 0x40 = 0x0000CAFE")
  # The library's banner for the trigger goes to standard error under --json,
  # leaving standard output one JSON document.
  vek(--sim --json trigger --reg34 7 --enable 1)
  expect_status(0)
  expect_json("${out}" 7 reg34)
  expect_json("${out}" ON enable)
  expect_match(err "Trigger extension")
  # A reply nobody asked for, queued before the read, is taken by it: the
  # read names the register the reply answers and fails.
  vek(--sim-stray-reply 5 reg read 3)
  expect_status(1)
  expect_match(err "^vek reg read: the board answered for register 0x00000005 instead of 0x00000003: a stale reply is queued; later reads are shifted by one until the board is reset\n$")
  vek(--sim-stray-reply 3 reg read 3)
  expect_status(0)
endfunction()

# Raw frame files are read and written as bytes: a frame holding line ends and
# an end-of-file character loads whole, where the next frame starts after it,
# and a read-back range is written byte for byte.
function(check_raw_frames)
  string(ASCII 26 ctrl_z)
  set(block "ab\r\ncd\n${ctrl_z}efghijk\n")  # 16 bytes
  string(REPEAT "${block}" 256 frame)
  file(WRITE ${WORK}/frame.bin "${frame}")
  vek(--sim --sim-trace trace.txt --json load frame.bin frame.bin --address 0x1000)
  expect_status(0)
  expect_json("${out}" 4096 frames 0 address)
  expect_json("${out}" 4096 frames 0 bytes)
  expect_json("${out}" 8192 frames 1 address)
  expect_json("${out}" 12288 next_address)
  read_text(trace.txt trace)
  string(REGEX MATCHALL "data OUT ep 0x02 asked 4096 moved 4096" moved "${trace}")
  list(LENGTH moved transfers)
  if(NOT transfers EQUAL 2)
    fail("the trace shows ${transfers} frame transfers of 4096 bytes, expected 2")
  endif()

  vek(--sim readback -o back.bin --address 0x100 --length 16 --frames 3)
  expect_status(0)
  file(READ ${WORK}/back.bin back HEX)
  string(REPEAT "00" 48 zeros)
  if(NOT back STREQUAL zeros)
    fail("back.bin holds '${back}', expected 48 bytes of 0 (unwritten board memory)")
  endif()
endfunction()

# In a build without image support, the image commands are not listed, and
# each answers with one line and status 2; image files are refused before the
# board is touched, and .bin files still work.
function(check_without_images)
  vek(--help)
  expect_status(0)
  expect_match(out "built without image support")
  foreach(command convert batch stamp testpatterns demo)
    expect_no_match(out "\n  ${command} ")
  endforeach()

  file(WRITE ${WORK}/picture.png "not looked at")
  foreach(args "convert;picture.png;picture.bin" "batch;." "stamp;picture.png;--count;2"
               "testpatterns;--out;patterns" "demo;--out;demo-output")
    vek(--sim ${args})
    expect_status(2)
    list(GET args 0 command)
    expect_match(err "^vek ${command}: this vek is built without image support: [^\n]+\n$")
    expect_match(out "^$")
  endforeach()
  file(GLOB written ${WORK}/picture.bin ${WORK}/picture_* ${WORK}/patterns ${WORK}/demo-output)
  if(written)
    fail("files were written: ${written}")
  endif()

  vek(--sim --sim-trace trace.txt load picture.png)
  expect_status(2)
  expect_match(err "^vek load: 'picture.png' is not a \\.bin frame file; [^\n]+\n$")
  read_text(trace.txt trace)
  if(trace MATCHES "data OUT ep 0x02")
    fail("a frame went to the board: ${trace}")
  endif()
  vek(--sim readback -o frame.png)
  expect_status(2)
  expect_match(err "^vek readback: 'frame.png' is not a \\.bin frame file")
  if(EXISTS ${WORK}/frame.png)
    fail("frame.png was written")
  endif()
  vek(--sim --json readback -o frame.bin --length 32)
  expect_status(0)
  expect_json("${out}" 32 bytes)
endfunction()

# ---- Run one --------------------------------------------------------------------

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
if(NOT COMMAND check_${CHECK})
  message(FATAL_ERROR "tool_checks.cmake: no check named '${CHECK}'")
endif()
cmake_language(CALL check_${CHECK})
message(STATUS "${CHECK}: passed")
