# cmake -P: makes a delay-import library for one system DLL from the toolchain's own import
# library, so that every function the toolchain knows for that DLL can be delay-loaded (code
# that starts using another one needs no list kept by hand).
#   -DNM=... -DDLLTOOL=... -DIMPORT_LIB=<toolchain libX.a> -DDLL=<x.dll> -DDEF=<out .def> -DOUT=<out .a>
#   -DDECORATED=ON for 32-bit x86, whose C names carry a leading underscore
# Functions only: a data export cannot be reached through a delay-load thunk, and the toolchain's
# import library gives each function a code thunk ("T") beside its pointer ("I").
foreach(var NM DLLTOOL IMPORT_LIB DLL DEF OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "delaylib.cmake: ${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -g --defined-only ${IMPORT_LIB}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "delaylib.cmake: ${NM} failed on ${IMPORT_LIB}")
endif()

string(REPLACE "\n" ";" lines "${symbols}")
set(names)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ T (.+)$")
    set(name "${CMAKE_MATCH_1}")
    # The .def leaves the 32-bit underscore out; "name@N" stays, and --kill-at takes the "@N"
    # off the name looked up in the DLL. 64-bit names are as the DLL has them ("_TrackMouseEvent").
    if(DECORATED)
      if(NOT name MATCHES "^_(.+)$")
        continue()
      endif()
      set(name "${CMAKE_MATCH_1}")
    endif()
    list(APPEND names "${name}")
  endif()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
if(NOT names)
  message(FATAL_ERROR "delaylib.cmake: no functions in ${IMPORT_LIB}")
endif()

list(JOIN names "\n" body)
file(WRITE ${DEF} "LIBRARY ${DLL}\nEXPORTS\n${body}\n")
execute_process(COMMAND ${DLLTOOL} --kill-at --input-def ${DEF} --output-delaylib ${OUT}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "delaylib.cmake: ${DLLTOOL} failed for ${DLL}")
endif()
