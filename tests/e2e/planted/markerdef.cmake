# cmake -P: the marker DLL's .def from a delay-import .def (cmake/delaylib.cmake): the same DLL
# name, and every function of it exported as the one stub, under its undecorated name.
#   -DIN=<delay .def> -DOUT=<marker .def>
file(STRINGS ${IN} lines)
set(out)
foreach(line IN LISTS lines)
  if(line MATCHES "^LIBRARY ")
    string(APPEND out "${line}\nEXPORTS\n")
  elseif(NOT line STREQUAL "EXPORTS" AND NOT line STREQUAL "")
    string(REGEX REPLACE "@[0-9]+$" "" name "${line}")
    string(APPEND out "${name}=kv_marker_stub\n")
  endif()
endforeach()
file(WRITE ${OUT} "${out}")
