#!/usr/bin/env bash
# Live capture into Java against tcpdump -w /dev/null, on the same traffic in one run: UDP datagrams sent from
# namespace B over a veth pair, captured on its end in namespace A. Traffic only between namespaces made here.
#   live_jvm.sh <java> <classpath> <library dir> <udp_flood> [frames] [rounds]
set -u
java=$1 classpath=$2 libdir=$3 flood=$4 frames=${5:-1000000} rounds=${6:-3}
id=$$ a=tamsil-ba-$$ b=tamsil-bb-$$ va=tba$$ vb=tbb$$ port=47125
work=$(mktemp -d /tmp/tamsil-livebench.XXXXXX)
cleanup() { ip netns del "$a" 2>/dev/null; ip netns del "$b" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
ip netns add "$a" && ip netns add "$b" && ip link add "$va" type veth peer name "$vb" &&
  ip link set "$va" netns "$a" && ip link set "$vb" netns "$b" &&
  ip -n "$a" addr add 10.78.0.1/24 dev "$va" && ip -n "$b" addr add 10.78.0.2/24 dev "$vb" &&
  ip -n "$a" link set "$va" up && ip -n "$b" link set "$vb" up || { echo "live_jvm: no network namespaces here"; exit 1; }
mac=$(ip -n "$a" -o link show "$va" | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')
ip -n "$b" neigh replace 10.78.0.1 lladdr "$mac" dev "$vb" nud permanent
ip netns exec "$a" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 2>/dev/null

send() { ip netns exec "$b" taskset -c 0 "$flood" 10.78.0.1 "$port" "$frames" 64; }

run_java() {
  ip netns exec "$a" env TAMSIL_WINDOWS_VERSION=5.1 "TAMSIL_ADAPTERS=$va|bench" taskset -c 1 \
    "$java" -Djava.library.path="$libdir" -cp "$classpath" vorel.bench.LiveReceive "$port" >"$work/java" 2>&1 &
  local pid=$!
  until grep -q ready "$work/java" 2>/dev/null; do sleep 0.1; done
  sleep 0.5
  send >"$work/sent"
  wait "$pid"
  read -r _ got secs < <(grep '^java ' "$work/java")
  read -r _ sent _ sendsecs _ < "$work/sent"
  printf '%-26s %10s %10s %12s %10s\n' "Java (GetFrameFromDriver)" "$sent" "$got" \
    "$(awk -v n="$got" -v s="$sendsecs" 'BEGIN { printf "%.0f", n / s }')" "$((sent - got))"
}

run_tcpdump() {
  ip netns exec "$a" taskset -c 1 tcpdump -i "$va" -n -w /dev/null "udp port $port" >"$work/tcpdump" 2>&1 &
  local pid=$!
  sleep 1.5
  send >"$work/sent"
  sleep 2
  kill -INT "$pid"
  wait "$pid"
  local got dropped
  got=$(sed -n 's/^\([0-9]*\) packets captured.*/\1/p' "$work/tcpdump")
  dropped=$(sed -n 's/^\([0-9]*\) packets dropped by kernel.*/\1/p' "$work/tcpdump")
  read -r _ sent _ sendsecs _ < "$work/sent"
  printf '%-26s %10s %10s %12s %10s\n' "tcpdump -w /dev/null" "$sent" "$got" \
    "$(awk -v n="$got" -v s="$sendsecs" 'BEGIN { printf "%.0f", n / s }')" "$((sent - got)) ($dropped by kernel)"
}

printf '%-26s %10s %10s %12s %10s\n' "receiver" "sent" "received" "received/s" "lost"
for round in $(seq 1 "$rounds"); do
  run_java
  run_tcpdump
done
