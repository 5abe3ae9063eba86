#!/usr/bin/env bash
# Sets everything up and runs every test: the Linux build (unit, process, JVM, network-namespace and
# Windows-table tests), the same unit tests under AddressSanitizer + UndefinedBehaviorSanitizer, the
# concurrency tests under ThreadSanitizer, and the x86_64 Windows build's tests under Wine.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=2
failed=()

stage() {
  local name=$1
  shift
  echo "=== $name"
  if ! "$@"; then
    echo "=== $name: FAILED"
    failed+=("$name")
  fi
}

bash "$root/scripts/setup.sh" || exit 1

stage "Windows cross builds" sh "$root/cmake/cross-build.sh"

linux_build() {
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DTAMSIL_WINDOWS_I686_DIR="$root/build-win32" -DTAMSIL_WINDOWS_X86_64_DIR="$root/build-win64" &&
    cmake --build "$root/build" -j "$jobs" &&
    (cd "$root/build" && ctest --output-on-failure -j "$jobs" --timeout 600)
}
stage "Linux build and tests" linux_build

# sanitizer_build <dir> <sanitizers> <ctest labels> [targets...]: without targets, everything is built.
sanitizer_build() {
  local dir=$1 sanitizers=$2 labels=$3
  shift 3
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTAMSIL_SANITIZE="$sanitizers" &&
    cmake --build "$root/$dir" -j "$jobs" "${targets[@]}" &&
    (cd "$root/$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 -L "$labels")
}
stage "AddressSanitizer + UndefinedBehaviorSanitizer" sanitizer_build build-asan "address;undefined" "unit|process"
# Only the concurrency tests (tests/unit/*_race_test.cpp) run under ThreadSanitizer.
race_tests=$(cd "$root/tests/unit" && ls *_race_test.cpp 2>/dev/null | sed 's/\.cpp$//')
stage "ThreadSanitizer" sanitizer_build build-tsan thread "concurrency" $race_tests

wine_tests() {
  [ -f "$root/build-win64/CTestTestfile.cmake" ] || return 0
  (cd "$root/build-win64" && ctest --output-on-failure --timeout 600)
}
stage "Windows tests under Wine" wine_tests

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "All stages passed."
