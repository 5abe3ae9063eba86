#!/usr/bin/env bash
# Line coverage of the product's sources, as a table and as HTML reports (build-coverage/<build>/index.html):
#   linux  what the Linux build's tests ran in the library's and ousterling's code (build/, configured with
#          -DTAMSIL_COVERAGE=ON; its ctest run done)
#   win64, win32  what the Wine tests run of the shipped files' code: tamsil.dll and ousterling.exe built again
#          with coverage (build-cov-<build>), put in place of the release's files beside the test programs of
#          build-<build>, and the Wine tests that load them run again; the release's files are put back after.
# Fails when a Windows build falls below its floor in scripts/coverage-floor.txt.
# Usage: scripts/coverage.sh [linux] [win64] [win32]   (all three when none is named)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-coverage
builds=${*:-linux win64 win32}
# Folders of the shipped files' sources; the Linux stand-in (platform/linux) is not shipped.
product=("$root/capture/*" "$root/adapters/*" "$root/host/*" "$root/uninstall/*" "$root/java/*"
  "$root/platform/text.cpp" "$root/platform/windows/*")
# The Wine test programs that load the product files (the portable tests link the code into themselves).
product_tests='^Wine\.(jni_harness_test|packet_driver_wine_test|ousterling_wine_test|windows_version_.*)$'
mkdir -p "$out"

# capture <build> <gcov tool> <object dir>...: the product's lines from the .gcda files under the object dirs.
# lcov's own chatter (mingw's gcov gives no version it can read; it then reads gcov's plain output) goes to a
# log, shown when it fails.
capture() {
  local name=$1 tool=$2 info=$out/$1.info log=$out/$1.log dirs=()
  shift 2
  for dir in "$@"; do dirs+=(--directory "$dir"); done
  {
    lcov --quiet --capture "${dirs[@]}" --gcov-tool "$tool" --output-file "$out/$name.all.info" &&
      lcov --quiet --extract "$out/$name.all.info" "${product[@]}" --output-file "$info" &&
      genhtml --quiet --title "Network Vorel native: $name" --output-directory "$out/$name" "$info"
  } >"$log" 2>&1 || { cat "$log"; echo "$name: reading the coverage failed"; return 1; }
}

# wine_run <build> <triplet>: the product files with coverage, run by the Wine tests of build-<build>.
wine_run() {
  local name=$1 triplet=$2 dir=$root/build-$1 cov=$root/build-cov-$1 toolchain
  [ "$name" = win32 ] && toolchain=toolchain-mingw-i686.cmake || toolchain=toolchain-mingw-x86_64.cmake
  [ -f "$dir/CTestTestfile.cmake" ] || { echo "no Windows build in $dir (cmake/cross-build.sh)"; return 1; }
  cmake -S "$root" -B "$cov" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DCMAKE_BUILD_TYPE=Debug \
    -DTAMSIL_TESTS=OFF -DTAMSIL_MINGW_THREADS=win32 -DTAMSIL_COVERAGE=ON >/dev/null &&
    cmake --build "$cov" -j 2 >/dev/null || return 1
  find "$cov" -name '*.gcda' -delete
  local programs=$dir/tests/windows/win32 kept
  kept=$(mktemp -d) || return 1
  cp "$programs/tamsil.dll" "$programs/ousterling.exe" "$kept/"
  cp "$cov/tamsil.dll" "$cov/ousterling.exe" "$programs/"
  # One program at a time: two processes would write the same .gcda files.
  (cd "$dir" && ctest --output-on-failure --no-tests=error -R "$product_tests")
  local status=$?
  cp "$kept/tamsil.dll" "$kept/ousterling.exe" "$programs/"
  rm -rf "$kept"
  [ $status -eq 0 ] || { echo "$name: the Wine tests failed with the coverage build"; return 1; }
  capture "$name" "$triplet-gcov" "$cov"
}

status=0
for build in $builds; do
  case $build in
    linux)
      # The objects of the library and of ousterling, not the tests' own (which the other dirs hold).
      objects=$root/build/CMakeFiles
      capture linux gcov "$objects/tamsil_objects.dir" "$objects/tamsil_platform.dir" "$objects/ousterling_parts.dir" \
        "$objects/ousterling.dir" || status=1
      ;;
    win64) wine_run win64 x86_64-w64-mingw32 || status=1 ;;
    win32)
      if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] && grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386; then
        export TAMSIL_WINE_UNDER_QEMU=1
      fi
      wine_run win32 i686-w64-mingw32 || status=1
      ;;
    *) echo "coverage.sh: unknown build '$build' (linux, win64 or win32)" >&2; exit 2 ;;
  esac
done

echo
echo "| build | lines run | lines | coverage | floor |"
echo "|---|---:|---:|---:|---:|"
for build in $builds; do
  summary=$(lcov --summary "$out/$build.info" 2>&1 | sed -n 's/^ *lines\.*: \([0-9.]*\)% (\([0-9]*\) of \([0-9]*\) lines).*/\1 \2 \3/p')
  floor=$(awk -v b="$build" '$1 == b { print $2 }' "$root/scripts/coverage-floor.txt")
  if [ -z "$summary" ]; then
    echo "| $build | - | - | no data | ${floor:--} |"
    status=1
    continue
  fi
  read -r percent run lines <<<"$summary"
  echo "| $build | $run | $lines | $percent % | ${floor:+$floor %} |"
  if [ -n "$floor" ] && awk -v p="$percent" -v f="$floor" 'BEGIN { exit !(p < f) }'; then
    echo "$build: coverage $percent % is below its floor of $floor %"
    status=1
  fi
done
echo "Reports: $out/<build>/index.html"
exit $status
