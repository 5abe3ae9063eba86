#!/usr/bin/env bash
# The product's tests: the i686 build's test programs under 32-bit Wine. Where the kernel runs no i386
# programs, Wine's 32-bit loader runs through qemu-i386, and every program start costs tens of seconds of CPU:
# one prefix serves the whole run (minutes to make) and programs that share nothing run two at a time
# (tests/windows/wine.cmake). Not part of scripts/test.sh (README: "What runs where").
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=2
bash "$root/scripts/setup.sh" --i686 || exit 1
cmake -S "$root" -B "$root/build-win32" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTAMSIL_TESTS=ON &&
  cmake --build "$root/build-win32" -j "$jobs" &&
  (cd "$root/build-win32" && ctest --output-on-failure -j "$jobs")
