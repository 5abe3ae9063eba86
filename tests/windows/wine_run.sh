#!/bin/sh
# Runs one Wine test for ctest:  wine_run.sh <test> <seconds> <skip list> <loader> <program> [arguments...]
# - The program's output goes through a file, never ctest's pipes: the Wine processes it starts (services, a
#   driver host, a wineserver) inherit the file, so none of them keeps ctest waiting once the program has ended.
# - A program still running after <seconds> is ended and named.
# - Under qemu-i386 (TAMSIL_WINE_UNDER_QEMU set), the cases the skip list names for <test> are left out, each
#   said with its reason and recorded in TAMSIL_WINE_SKIP_RECORD; a whole-test entry (case "*") runs nothing.
set -u
test=$1 seconds=$2 skips=$3
shift 3
qemu=${TAMSIL_WINE_UNDER_QEMU:-}
record=${TAMSIL_WINE_SKIP_RECORD:-/dev/null}

filter=""
if [ -n "$qemu" ]; then
  # Lines: <test> <case or *> <why>; '#' starts a comment.
  while read -r name case why; do
    case $name in '' | '#'*) continue ;; esac
    [ "$name" = "$test" ] || continue
    echo "Skipped under qemu-i386: $test $case: $why"
    echo "$test $case" >>"$record"
    if [ "$case" = "*" ]; then
      exit 0
    fi
    filter="$filter${filter:+:}$case"
  done <"$skips"
fi
if [ -n "$filter" ]; then
  GTEST_FILTER="${GTEST_FILTER:-*}-$filter"
  export GTEST_FILTER
fi

log=$(mktemp "${TMPDIR:-/tmp}/wine-test.XXXXXX") || exit 1
trap 'rm -f "$log"' EXIT
timeout -k 10 "$seconds" "$@" </dev/null >"$log" 2>&1
status=$?
cat "$log"
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  echo "$test: still running after its time limit of $seconds s; ended"
fi
exit $status
