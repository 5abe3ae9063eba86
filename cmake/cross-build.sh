#!/bin/sh
# Configures and builds the Windows targets with mingw-w64:
#   build-win32/  i686   tamsil.dll, ousterling.exe (checked by their export/import tables on Linux)
#   build-win64/  x86_64 tamsil.dll, ousterling.exe and the test programs (run under wine64 by ctest)
# Usage: cmake/cross-build.sh [win32|win64]...   (both when none is named)
# Needs: g++-mingw-w64-i686 g++-mingw-w64-x86-64 cmake make openjdk-17-jdk-headless (for jni.h);
# the Wine tests also need wine64.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
targets=${*:-win32 win64}
for target in $targets; do
  case $target in
    win32) toolchain=toolchain-mingw-i686.cmake tests=-DTAMSIL_TESTS=OFF ;;  # checked by its tables only
    win64) toolchain=toolchain-mingw-x86_64.cmake tests=-DTAMSIL_TESTS=ON ;;   # and its tests run under Wine
    *) echo "cross-build.sh: unknown target '$target' (win32 or win64)" >&2; exit 2 ;;
  esac
  dir=$here/build-$target
  cmake -S "$here" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release $tests
  cmake --build "$dir" -j "$jobs"
done
