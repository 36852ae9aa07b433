# cmake -P: the linker options that keep every delay-load thunk the program's code needs.
#   -DNM=... -DCODE_LIB=<libkvcore.a> -DDELAY_LIBS=<delay-import libraries, ;-separated> -DOUT=<.rsp>
# The 32-bit PE linker leaves out the code of an import-library member whose function name nobody
# references, even when the member itself is linked in for its __imp_ pointer. Code compiled
# against the headers calls through that pointer only, so the delay-load thunk would be dropped
# and its pointer left zero in the file: the first call would jump to address 0. An -u for each
# such function makes the thunk part of the link. cmake/delaycheck.cmake checks the result.
cmake_minimum_required(VERSION 3.20)
foreach(var NM CODE_LIB DELAY_LIBS OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "delayrefs.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -u ${CODE_LIB} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "delayrefs.cmake: ${NM} failed on ${CODE_LIB}")
endif()
string(REGEX MATCHALL "__imp_[^\n ]+" wanted "${undefined}")
list(REMOVE_DUPLICATES wanted)

set(delayed)
foreach(lib IN LISTS DELAY_LIBS)
  execute_process(COMMAND ${NM} -g --defined-only ${lib} OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "delayrefs.cmake: ${NM} failed on ${lib}")
  endif()
  string(REGEX MATCHALL " I __imp_[^\n ]+" pointers "${defined}")
  foreach(p IN LISTS pointers)
    string(SUBSTRING "${p}" 3 -1 p)
    list(APPEND delayed "${p}")
  endforeach()
endforeach()

set(body "")
foreach(pointer IN LISTS wanted)
  if(pointer IN_LIST delayed)
    string(REGEX REPLACE "^__imp_" "" thunk "${pointer}")
    string(APPEND body "-Wl,--undefined=${thunk}\n")
  endif()
endforeach()
# Written only when it changes, so an unchanged list does not relink the program.
set(old "")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL body)
  file(WRITE ${OUT} "${body}")
endif()
