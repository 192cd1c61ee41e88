# Cross-building for 64-bit Windows with Debian's MinGW-w64 (the -posix
# thread-model compilers, which give C++ std::thread). Programs are linked
# statically so that a clean Windows needs no MinGW DLLs; tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VARNO_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VARNO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARNO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
# Header-only packages of the distribution (varno-inspect's CLI11 and JSON)
# serve a cross build too; their users put only their own folders on the
# include path.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# wine64 runs the programs: CTest and test discovery go through it, in a
# wine prefix of the build's own. Debian keeps the loader outside PATH.
find_program(VARNO_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(VARNO_WINE64 NAMES wine64 wine)
if(VARNO_WINE64)
  set(VARNO_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${VARNO_WINEPREFIX} WINEDEBUG=-all ${VARNO_WINE64})
endif()
