# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
# ctest runs the test programs under Debian's 32-bit Wine loader (wine32:i386). An x86_64 Linux kernel may
# refuse to run i386 programs itself; then qemu-i386, registered with binfmt_misc (scripts/setup.sh), runs the
# loader and every 32-bit Windows process Wine starts. Wine's server and services stay 64-bit and native.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TAMSIL_MINGW_TRIPLET i686-w64-mingw32)
set(TAMSIL_WINE_LOADER /usr/lib/wine/wine CACHE FILEPATH "Wine's 32-bit loader")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
