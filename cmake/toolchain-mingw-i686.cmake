# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
# The -posix compilers: std::mutex and std::thread need the posix thread model.
# ctest runs the test programs under Debian's 32-bit Wine loader (wine32:i386). An x86_64 Linux kernel may
# refuse to run i386 programs itself; then qemu-i386, registered with binfmt_misc (scripts/setup.sh), runs the
# loader and every 32-bit Windows process Wine starts. Wine's server and services stay 64-bit and native.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TAMSIL_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TAMSIL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMSIL_MINGW_TRIPLET}-g++-posix)
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
