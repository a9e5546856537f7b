# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads
# variant): cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
# Test executables run under Wine, each build folder with a Wine prefix of its
# own (created by the first test, shared by the rest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DUDAROVUVADU_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DUDAROVUVADU_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DUDAROVUVADU_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${DUDAROVUVADU_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DUDAROVUVADU_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Quiet Wine, in a prefix inside the build folder so that builds never share
# or disturb the user's own ~/.wine.
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all /usr/bin/wine)
