# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
# The thread model, TAMSIL_MINGW_THREADS: win32 for the product files, which must load on NT 4.0 (the posix
# model's winpthreads imports calls of later Windows); posix for a build with tests (the default unless
# -DTAMSIL_TESTS=OFF), since GoogleTest needs std::mutex: that build makes the product files in a win32 build
# of their own.
# ctest runs the test programs under Debian's 32-bit Wine loader (wine32:i386). An x86_64 Linux kernel may
# refuse to run i386 programs itself; then qemu-i386, registered with binfmt_misc (scripts/setup.sh), runs the
# loader and every 32-bit Windows process Wine starts. Wine's server and services stay 64-bit and native.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAMSIL_MINGW_TRIPLET i686-w64-mingw32)
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

set(TAMSIL_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "Wine's 32-bit loader")
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMSIL_WINE_LOADER})
