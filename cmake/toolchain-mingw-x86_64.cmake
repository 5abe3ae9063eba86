# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The thread model, TAMSIL_MINGW_THREADS: win32 for the product files, which must load on NT 4.0 (the posix
# model's winpthreads imports calls of later Windows); posix for a build with tests (the default unless
# -DTAMSIL_TESTS=OFF), since GoogleTest needs std::mutex: that build makes the product files in a win32 build
# of their own.
# ctest runs the test programs under Debian's wine64 (the loader itself, not the wine wrapper script,
# which would look for 32-bit Wine first). The WINEPREFIX is made by the tests (tests/windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TAMSIL_MINGW_TRIPLET x86_64-w64-mingw32)
if(NOT TAMSIL_MINGW_THREADS)
  if(DEFINED TAMSIL_TESTS AND NOT TAMSIL_TESTS)
    set(TAMSIL_MINGW_THREADS win32)
  else()
    set(TAMSIL_MINGW_THREADS posix)
  endif()
endif()
set(TAMSIL_MINGW_THREADS ${TAMSIL_MINGW_THREADS} CACHE STRING "mingw thread model: win32 (product) or posix (tests)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAMSIL_MINGW_THREADS)
set(CMAKE_C_COMPILER ${TAMSIL_MINGW_TRIPLET}-gcc-${TAMSIL_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TAMSIL_MINGW_TRIPLET}-g++-${TAMSIL_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TAMSIL_MINGW_TRIPLET}-windres)
set(CMAKE_NM ${TAMSIL_MINGW_TRIPLET}-nm CACHE FILEPATH "nm of the cross binutils")
set(CMAKE_OBJDUMP ${TAMSIL_MINGW_TRIPLET}-objdump CACHE FILEPATH "objdump of the cross binutils")

set(CMAKE_FIND_ROOT_PATH /usr/${TAMSIL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(TAMSIL_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine's 64-bit loader")
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMSIL_WINE_LOADER})
