# Delay-loading of the system DLLs in KV_DELAY_LOADED_DLLS (CMakeLists.txt: KV_SYSTEM_LIBS but kernel32).
# GNU ld has no delay-load switch, so for each DLL a delay-import library is made from the
# toolchain's own import library (cmake/delaylib.cmake) into KV_DELAY_LIB_DIR under the same
# name (libversion.a). kv_delay_load(target) puts that directory first on the target's library
# path, so its "-lversion" takes the delay-import library and the other targets (the tests)
# keep the ordinary one. The loads themselves go through framework/DllSearch.

set(KV_DELAY_LIB_DIR ${CMAKE_BINARY_DIR}/delayload)
# The same .def also makes the marker DLLs of the planted-DLL test (every function a stub).
set(KV_DELAY_DEF_DIR ${KV_DELAY_LIB_DIR}/def)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KV_DELAY_DECORATED ON)
else()
  set(KV_DELAY_DECORATED OFF)
endif()

set(KV_DELAY_LIBS)
foreach(dll IN LISTS KV_DELAY_LOADED_DLLS)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${dll}.a
    OUTPUT_VARIABLE implib OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${implib}")
    message(FATAL_ERROR "no import library lib${dll}.a in the toolchain")
  endif()
  set(out ${KV_DELAY_LIB_DIR}/lib${dll}.a)
  add_custom_command(OUTPUT ${out} ${KV_DELAY_DEF_DIR}/${dll}.def
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KV_DELAY_DEF_DIR}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} -DIMPORT_LIB=${implib}
            -DDLL=${dll}.dll -DDEF=${KV_DELAY_DEF_DIR}/${dll}.def -DOUT=${out} -DDECORATED=${KV_DELAY_DECORATED}
            -P ${CMAKE_SOURCE_DIR}/cmake/delaylib.cmake
    DEPENDS ${implib} ${CMAKE_SOURCE_DIR}/cmake/delaylib.cmake
    COMMENT "Delay-import library for ${dll}.dll"
    VERBATIM)
  list(APPEND KV_DELAY_LIBS ${out})
endforeach()
add_custom_target(kv_delay_libs DEPENDS ${KV_DELAY_LIBS})

# code_lib: the static library that holds the target's calls into those DLLs. Its delay-load
# thunks are named to the linker (cmake/delayrefs.cmake), and the linked program is checked for a
# pointer left without its thunk (cmake/delaycheck.cmake, which needs the link map map_file).
function(kv_delay_load target code_lib map_file)
  set(refs ${KV_DELAY_LIB_DIR}/${target}-thunks.rsp)
  add_custom_command(OUTPUT ${refs}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DCODE_LIB=$<TARGET_FILE:${code_lib}>
            "-DDELAY_LIBS=${KV_DELAY_LIBS}" -DOUT=${refs}
            -P ${CMAKE_SOURCE_DIR}/cmake/delayrefs.cmake
    DEPENDS ${code_lib} ${KV_DELAY_LIBS} ${CMAKE_SOURCE_DIR}/cmake/delayrefs.cmake
    COMMENT "Delay-load thunks for ${target}"
    VERBATIM)
  add_custom_target(${target}_delay_refs DEPENDS ${refs})
  add_dependencies(${target} kv_delay_libs ${target}_delay_refs)
  target_link_directories(${target} BEFORE PRIVATE ${KV_DELAY_LIB_DIR})
  target_link_options(${target} PRIVATE "@${refs}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${KV_DELAY_LIBS} ${refs})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${target}> -DMAP=${map_file} -DDELAY_LIB_DIR=${KV_DELAY_LIB_DIR}
            -P ${CMAKE_SOURCE_DIR}/cmake/delaycheck.cmake
    VERBATIM)
endfunction()
