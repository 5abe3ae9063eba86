#!/usr/bin/env bash
# Runs one JVM test under -Xcheck:jni. Fails when the JVM exits non-zero or when the JNI checker reports
# anything (HotSpot prints its findings on standard output).
set -u
java=java classpath= libpath= registry= stdin_file=/dev/null expect=
while [ $# -gt 0 ]; do
  case "$1" in
    --java) java=$2; shift 2 ;;
    --classpath) classpath=$2; shift 2 ;;
    --library-path) libpath=$2; shift 2 ;;
    --registry) registry=$2; shift 2 ;;
    --stdin) stdin_file=$2; shift 2 ;;
    --env) export "$2"; shift 2 ;;
    --expect) expect=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "run_jvm_test: unknown option $1" >&2; exit 2 ;;
  esac
done
work=$(mktemp -d /tmp/tamsil-jvm.XXXXXX)
trap 'rm -rf "$work"' EXIT
export TAMSIL_TEST_WORK="$work"
if [ -n "$registry" ]; then
  cp "$registry" "$work/registry.reg"
  export TAMSIL_REGISTRY="$work/registry.reg"
fi
"$java" -Xcheck:jni -Djava.library.path="$libpath" -cp "$classpath" "$@" <"$stdin_file" >"$work/stdout" 2>"$work/stderr"
status=$?
cat "$work/stdout"
cat "$work/stderr" >&2
if grep -E -q 'WARNING in native method|FATAL ERROR in native method|^Warning: .*JNI|JNI call made with exception pending' \
     "$work/stdout" "$work/stderr"; then
  echo "run_jvm_test: -Xcheck:jni reported a problem" >&2
  exit 1
fi
if [ -n "$expect" ] && ! grep -v -E '^[0-9]+ passed, [0-9]+ failed$' "$work/stdout" | diff -u "$expect" - >&2; then
  echo "run_jvm_test: standard output differs from $expect" >&2
  exit 1
fi
exit $status
