# Cross build for 64-bit Windows with mingw-w64: the same code, for hosts that run no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KV_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
