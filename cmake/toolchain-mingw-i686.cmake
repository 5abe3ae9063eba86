# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
# The -posix compilers: std::mutex and std::thread need the posix thread model.
# Nothing here runs the results: this machine cannot execute 32-bit x86 code, so no emulator is set and
# the i686 DLL is checked by its export and import tables (tests/windows, label `windows`).
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
