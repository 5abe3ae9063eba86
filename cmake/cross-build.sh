#!/bin/sh
# Configures and builds the Windows targets with mingw-w64, each with its test programs:
#   build-win32/  i686, the product: build-win32/product/tamsil.dll and ousterling.exe (win32 thread model,
#                 as shipped), and the test programs (posix thread model), run under 32-bit Wine by ctest
#   build-win64/  x86_64: the same, under wine64
# The product files' export and import tables are checked by the Linux build (tests/windows).
# Usage: cmake/cross-build.sh [win32|win64]...   (both when none is named)
# Needs: g++-mingw-w64-i686 g++-mingw-w64-x86-64 cmake make openjdk-17-jdk-headless (for jni.h);
# the Wine tests also need wine64 and, for i686, wine32:i386.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
targets=${*:-win32 win64}
for target in $targets; do
  case $target in
    win32) toolchain=toolchain-mingw-i686.cmake ;;
    win64) toolchain=toolchain-mingw-x86_64.cmake ;;
    *) echo "cross-build.sh: unknown target '$target' (win32 or win64)" >&2; exit 2 ;;
  esac
  dir=$here/build-$target
  cmake -S "$here" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DTAMSIL_TESTS=ON
  cmake --build "$dir" -j "$jobs"
done
