#!/usr/bin/env bash
# Live capture through the JVM: two private network namespaces joined by a veth pair; the JVM captures on
# one end while the other end sends numbered UDP datagrams. Only traffic between namespaces made here.
# Usage: live_netns.sh <java> <classpath> <library dir> <count>. Exit 77 (skipped) without namespace rights.
set -u
java=$1 classpath=$2 libdir=$3 count=$4
id=$$
a=tamsil-a-$id b=tamsil-b-$id va=tva$id vb=tvb$id
work=$(mktemp -d /tmp/tamsil-live.XXXXXX)
cleanup() {
  [ -n "${javapid:-}" ] && kill "$javapid" 2>/dev/null
  ip netns del "$a" 2>/dev/null
  ip netns del "$b" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
if ! ip netns add "$a" 2>/dev/null; then
  echo "live_netns: cannot create network namespaces here; skipped"
  exit 77
fi
ip netns add "$b" &&
  ip link add "$va" type veth peer name "$vb" &&
  ip link set "$va" netns "$a" && ip link set "$vb" netns "$b" &&
  ip -n "$a" addr add 10.77.0.1/24 dev "$va" && ip -n "$b" addr add 10.77.0.2/24 dev "$vb" &&
  ip -n "$a" link set "$va" up && ip -n "$b" link set "$vb" up && ip -n "$a" link set lo up || exit 1
# A fixed neighbour entry, so that no datagram waits on address resolution.
mac=$(ip -n "$a" -o link show "$va" | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')
ip -n "$b" neigh replace 10.77.0.1 lladdr "$mac" dev "$vb" nud permanent || exit 1

ip netns exec "$a" env TAMSIL_WINDOWS_VERSION=5.1 "TAMSIL_ADAPTERS=$va|Test veth" \
  "$java" -Xcheck:jni -Djava.library.path="$libdir" -cp "$classpath" vorel.tests.LiveCaptureTest "$count" \
  >"$work/stdout" 2>"$work/stderr" &
javapid=$!
for _ in $(seq 1 200); do
  grep -q '^== ready' "$work/stdout" && break
  kill -0 "$javapid" 2>/dev/null || break
  sleep 0.05
done
ip netns exec "$b" bash -c "for i in \$(seq 1 $count); do printf 'vorel-%06d' \$i > /dev/udp/10.77.0.1/9999; done"
wait "$javapid"
status=$?
javapid=
cat "$work/stdout"
cat "$work/stderr" >&2
if grep -E -q 'WARNING in native method|FATAL ERROR in native method' "$work/stdout" "$work/stderr"; then
  echo "live_netns: -Xcheck:jni reported a problem" >&2
  exit 1
fi
exit $status
