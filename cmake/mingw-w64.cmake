# What both cross builds share; cmake/mingw-i686.cmake and cmake/mingw-x86_64.cmake set
# KV_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR and include this. The posix thread model is
# required: the win32 model has no std::mutex in GCC 12 and GoogleTest will not build with it.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${KV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${KV_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Lets ctest run the test executables under the project's own Wine prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
