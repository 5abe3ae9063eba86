#!/usr/bin/env bash
# The i686 build's tests alone (scripts/test.sh runs them too, with --no-build): the product's test programs
# under 32-bit Wine. Where the kernel runs no i386 programs (or `scripts/setup.sh --qemu` made it so), Wine's
# 32-bit loader runs through qemu-i386, and every program start costs tens of seconds of CPU: one prefix serves
# the whole run, programs that share nothing run two at a time (tests/windows/wine.cmake), and the cases of
# tests/windows/qemu_skips.txt are left out. The last line names the mode and the cases left out.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build-win32
if [ "${1:-}" != --no-build ]; then
  bash "$root/scripts/setup.sh" --i686 || exit 1
  sh "$root/cmake/cross-build.sh" win32 || exit 1
fi
entry=/proc/sys/fs/binfmt_misc/qemu-i386
mode=native
if [ -e $entry ] && grep -qx enabled $entry 2>/dev/null; then
  mode=qemu
  export TAMSIL_WINE_UNDER_QEMU=1
fi
[ -f "$dir/CTestTestfile.cmake" ] || { echo "no i686 build in $dir"; exit 1; }
(cd "$dir" && ctest --output-on-failure --no-tests=error -j 2)
status=$?
skipped=$(grep -c . "$dir/wine-skipped.txt" 2>/dev/null || true)
echo "32-bit Wine stage: $mode mode ($([ $mode = qemu ] && echo "i386 programs through qemu-i386" || echo "i386 programs run by the kernel")), ${skipped:-0} case(s) skipped (tests/windows/qemu_skips.txt), $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
