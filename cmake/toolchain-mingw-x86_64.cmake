# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# ctest runs the test programs under Debian's wine64 (the loader itself, not the wine wrapper script,
# which would look for 32-bit Wine first). The WINEPREFIX is made by the tests (tests/windows).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TAMSIL_MINGW_TRIPLET x86_64-w64-mingw32)
set(TAMSIL_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "Wine's 64-bit loader")
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
