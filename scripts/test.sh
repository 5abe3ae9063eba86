#!/usr/bin/env bash
# Sets everything up and runs every test: the Windows cross builds, the release (built twice and compared), the
# Linux build (unit, process, JVM, network-namespace tests, and the table checks of the release's files), the
# same unit tests under AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, a short run of each fuzz target, the Windows builds' tests under Wine, on the release's
# files: x86_64 under wine64, i686 (the product) under 32-bit Wine; and the line coverage of both.
set -uo pipefail
# The network-namespace tests, and the namespace the Wine tests' second adapter lives in, need root: a user with
# sudo runs the whole script through it (the environment kept, e.g. CI and TAMSIL_FUZZ_SECONDS), where sudo can
# ask for the password or need not; elsewhere the tests that need root say they are skipped.
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && { [ -t 0 ] || sudo -n true 2>/dev/null; }; then
  exec sudo -E bash "$0" "$@"
fi
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

bash "$root/scripts/setup.sh" --i686 || exit 1

stage "Windows cross builds" sh "$root/cmake/cross-build.sh"

# The release built twice from two checkouts and compared, and its files put where the Linux build's table checks
# and the Wine tests take the product files, so that the stages below check and run the shipped bytes.
stage "Release: reproducible, and the files the checks and Wine tests take" bash "$root/scripts/release-check.sh"
shipped=$root/build-release-check/shipped

linux_build() {
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMSIL_COVERAGE=ON \
    -DTAMSIL_WINDOWS_I686_DIR="$shipped" -DTAMSIL_WINDOWS_X86_64_DIR="$shipped/x86_64" &&
    cmake --build "$root/build" -j "$jobs" &&
    (cd "$root/build" && ctest --output-on-failure --no-tests=error -j "$jobs" --timeout 600)
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
    (cd "$root/$dir" && ctest --output-on-failure --no-tests=error -j "$jobs" --timeout 600 -L "$labels")
}
stage "AddressSanitizer + UndefinedBehaviorSanitizer" sanitizer_build build-asan "address;undefined" "unit|process"
# Only the concurrency tests (tests/unit/*_race_test.cpp) run under ThreadSanitizer.
race_tests=$(cd "$root/tests/unit" && ls *_race_test.cpp 2>/dev/null | sed 's/\.cpp$//')
stage "ThreadSanitizer" sanitizer_build build-tsan thread "concurrency" $race_tests

# libFuzzer targets (fuzz/) under AddressSanitizer + UndefinedBehaviorSanitizer, two at a time, each for
# TAMSIL_FUZZ_SECONDS (45 s by default), starting from the committed corpus (fuzz/corpus/<subject>, which is
# only read). A crash, leak or hang fails the stage; its input stays in build-fuzz/fuzz-run/<subject>/ and, once
# fixed, becomes a file of the corpus (the ordinary build replays the corpus as ctest tests, label fuzz).
fuzz_targets() {
  local seconds=${TAMSIL_FUZZ_SECONDS:-45} run="$root/build-fuzz/fuzz-run" subject running=0 status=0
  local subjects
  mapfile -t subjects < <(cd "$root/fuzz" && ls *_fuzz.cpp | sed 's/_fuzz\.cpp$//')
  cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DTAMSIL_SANITIZE="address;undefined" -DTAMSIL_FUZZ=ON &&
    cmake --build "$root/build-fuzz" -j "$jobs" --target tamsil_fuzzers || return 1
  rm -rf "$run"
  for subject in "${subjects[@]}"; do
    mkdir -p "$run/$subject/found"
    (
      cd "$run/$subject" &&
        "$root/build-fuzz/fuzz/${subject}_fuzz" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
          -print_final_stats=1 -artifact_prefix="$run/$subject/" found "$root/fuzz/corpus/$subject" >log 2>&1 ||
        touch failed
    ) &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
      wait -n
      running=$((running - 1))
    fi
  done
  wait
  for subject in "${subjects[@]}"; do
    if [ -e "$run/$subject/failed" ]; then
      echo "--- $subject: FAILED"
      tail -n 40 "$run/$subject/log"
      ls "$run/$subject" | grep -E '^(crash|leak|timeout|oom)-' | sed "s|^|    input: $run/$subject/|"
      status=1
    else
      echo "--- $subject: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$run/$subject/log" | tail -n 1)"
    fi
  done
  return $status
}
stage "Fuzzing" fuzz_targets

# wine_tests <build dir> [ctest arguments]: the Windows build's test programs under Wine.
wine_tests() {
  local dir=$root/$1
  shift
  [ -f "$dir/CTestTestfile.cmake" ] || { echo "no Windows build in $dir"; return 1; }
  (cd "$dir" && ctest --output-on-failure --no-tests=error "$@")
}
stage "Windows tests under wine64 (x86_64)" wine_tests build-win64 --timeout 600
# Natively, or through qemu-i386 where the kernel runs no i386 programs (slow starts, the qemu skip list).
stage "Windows tests under 32-bit Wine (i686, the product)" bash "$root/scripts/test-i686.sh" --no-build

# The lines of the product's sources that the tests ran: on Linux (the Linux build above, built with coverage), and
# of the shipped files under Wine, both builds (their code built again with coverage and run by the Wine tests
# that load the product files). A Windows build below its floor (scripts/coverage-floor.txt) fails the stage.
stage "Line coverage" bash "$root/scripts/coverage.sh"

if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED stages: ${failed[*]}"
  exit 1
fi
echo "All stages passed."
