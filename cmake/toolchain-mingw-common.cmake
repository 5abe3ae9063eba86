# What both mingw-w64 toolchain files share; each sets TAMSIL_MINGW_TRIPLET and its Wine loader first.
# The thread model, TAMSIL_MINGW_THREADS: win32 for the product files, which must load on NT 4.0 (the posix
# model's winpthreads imports calls of later Windows); posix for a build with tests (the default unless
# -DTAMSIL_TESTS=OFF), since GoogleTest needs std::mutex: that build makes the product files in a win32 build
# of their own.
set(CMAKE_SYSTEM_NAME Windows)
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

set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMSIL_WINE_LOADER})
