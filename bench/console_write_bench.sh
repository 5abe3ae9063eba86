#!/bin/sh
# The capture console saving a replay: frames per second of `--replay F --write OUT --frames N` (1,000,000
# 64-byte frames by default), this build's console against the console of an earlier commit, in alternating
# rounds of one run, the frame lines sent to /dev/null. Prints each round and the medians' ratio.
#   console_write_bench.sh <java> <library dir> <this build's classes> <source dir> <earlier commit> [frames] [rounds]
set -eu
java=$1 libdir=$2 classes=$3 source=$4 before=$5 frames=${6:-1000000} rounds=${7:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/console-write-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
javac=$(dirname "$(readlink -f "$java")")/javac

# The earlier console, compiled from that commit's sources.
mkdir -p "$work/before-src" "$work/before"
(cd "$source" && git archive "$before" java) | tar -x -C "$work/before-src"
"$javac" -d "$work/before" $(find "$work/before-src" -name '*.java')

# The file to replay: numbered 64-byte Ethernet frames.
cat >"$work/MakePcap.java" <<'JAVA'
import java.io.*;
import java.nio.*;
public class MakePcap {
    public static void main(String[] a) throws IOException {
        int n = Integer.parseInt(a[1]);
        try (OutputStream out = new BufferedOutputStream(new FileOutputStream(a[0]), 1 << 20)) {
            ByteBuffer b = ByteBuffer.allocate(24).order(ByteOrder.LITTLE_ENDIAN);
            b.putInt(0xa1b2c3d4).putShort((short) 2).putShort((short) 4).putInt(0).putInt(0).putInt(65535).putInt(1);
            out.write(b.array());
            ByteBuffer r = ByteBuffer.allocate(16 + 64).order(ByteOrder.LITTLE_ENDIAN);
            for (int i = 0; i < n; i++) {
                r.clear();
                r.putInt(1700000000 + i / 1000000).putInt(i % 1000000).putInt(64).putInt(64).putInt(i);
                r.put(new byte[] {0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 1}).putShort((short) 0x88b5);
                out.write(r.array());
            }
        }
    }
}
JAVA
"$java" "$work/MakePcap.java" "$work/replay.pcap" "$frames"

run() {  # run <classes> -> frames per second
  rm -f "$work/out.pcapng"
  start=$(date +%s%N)
  TAMSIL_WINDOWS_VERSION=5.1 TAMSIL_ADAPTERS="bench0|Console write benchmark" "$java" -Djava.library.path="$libdir" \
    -cp "$1" com.larkspire.vorel.console.CaptureConsole --replay "$work/replay.pcap" --write "$work/out.pcapng" \
    --frames "$frames" 1 >/dev/null </dev/null
  end=$(date +%s%N)
  echo $((frames * 1000000000 / (end - start)))
}

echo "console --replay of $frames frames with --write to a file: frames per second (whole run, JVMs included)"
for round in $(seq 1 "$rounds"); do
  b=$(run "$work/before")
  a=$(run "$classes")
  echo "round $round: before ($before) $b, after $a"
  echo "$b" >>"$work/b"
  echo "$a" >>"$work/a"
done
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mb=$(median "$work/b") ma=$(median "$work/a")
echo "median: before $mb, after $ma frames/s; after/before $(awk -v a="$ma" -v b="$mb" 'BEGIN { printf "%.2f", a / b }')"
