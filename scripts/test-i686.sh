#!/usr/bin/env bash
# The i686 build's tests alone (scripts/test.sh runs them too): the product's test programs under 32-bit Wine.
# Where the kernel runs no i386 programs, Wine's 32-bit loader runs through qemu-i386 (scripts/setup.sh
# registers it), and every program start costs tens of seconds of CPU: one prefix serves the whole run and
# programs that share nothing run two at a time (tests/windows/wine.cmake).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" --i686 || exit 1
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
  export TAMSIL_WINE_UNDER_QEMU=1
fi
sh "$root/cmake/cross-build.sh" win32 && (cd "$root/build-win32" && ctest --output-on-failure -j 2)
