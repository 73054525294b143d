# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (package
# g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The project links its Windows programs statically (C and C++ runtimes,
# winpthread; see CMakeLists.txt), so each .exe runs alone on any 64-bit
# Windows from 7 on. Where Wine is installed, tests run through it
# (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NB_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NB_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NB_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${NB_MINGW_PREFIX}-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${NB_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine runs the cross-built tests (and gtest's test listing) on this machine,
# in a prefix of the build's own (see wine-emulator.sh).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(NB_WINE wine)
  if(NB_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-emulator.sh ${CMAKE_BINARY_DIR}/wineprefix)
  endif()
endif()
