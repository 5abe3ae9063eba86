#!/usr/bin/env bash
# Sets everything up, builds, and runs the capture console on this machine's adapters.
# Arguments go to the console (e.g. a card number, --list, --frames N, --seconds S, --write FILE to save the
# frames as pcapng, --replay FILE to replay a capture file as the chosen adapter); without a card number the
# library asks which adapter to use. Live capture needs root (or CAP_NET_RAW); replay does not.
# Standard output is the console's alone (--write - puts the capture there): the set-up reports on standard error.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" >&2
build="$root/build-release"
# The build's own lines go to standard error too, so that a build that fails says why.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMSIL_TESTS=OFF >&2
cmake --build "$build" -j 2 --target tamsil tamsil_java >&2
# A closed standard input would be the first file the JVM opens (its own modules), and the adapter dialogue
# would read that: with none, the dialogue finds its input ended.
[ -e /proc/$$/fd/0 ] || exec 0</dev/null
exec java -Djava.library.path="$build" -cp "$build/java-classes" com.larkspire.vorel.console.CaptureConsole "$@"
