#!/usr/bin/env bash
# A client that vanishes without a word (its link goes down) is noticed by TCP keepalive: its
# service process ends and the port it held is free for the next client. The client lives in a
# network namespace of this test's own, so its packets can be dropped without touching anything
# else. Needs root (ip netns); skipped otherwise.
set -u
tessal=$1
skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root for ip netns"
command -v ip >/dev/null || skip "no ip command"

ns=tk$$
host_if=tkh$$
peer_if=tkp$$
net=10.231.$(( $$ % 200 + 20 ))
port=$(( 10000 + $$ % 22000 ))  # below the ephemeral range, where no client connection can hold it
dir=$(mktemp -d)
daemon=
client=

cleanup() {
    [ -n "$client" ] && kill "$client" 2>/dev/null
    [ -n "$daemon" ] && kill -9 -- "-$daemon" 2>/dev/null
    ip netns del "$ns" 2>/dev/null
    ip link del "$host_if" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT

ip netns add "$ns" 2>/dev/null || skip "ip netns add failed"
ip link add "$host_if" type veth peer name "$peer_if" netns "$ns" || skip "no veth"
ip addr add "$net.1/30" dev "$host_if"
ip link set "$host_if" up
ip netns exec "$ns" ip addr add "$net.2/30" dev "$peer_if"
ip netns exec "$ns" ip link set "$peer_if" up

# Keepalive after 1 s of silence, then every 1 s, 2 probes: a vanished client is gone in ~3 s.
setsid "$tessal" -f -V 3 -p "$port" --keepalive 1,1,2 --sim=clock=virtual,rate=0 >"$dir/out" 2>"$dir/err" &
daemon=$!
disown "$daemon"
for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/$net.1/$port") 2>/dev/null && break
    sleep 0.05
done

init='\xe1\x50\xed\x5f\x00\x00\x00\x20\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'

# The client in the namespace takes the port, then stays connected and silent.
ip netns exec "$ns" bash -c "exec 3<>/dev/tcp/$net.1/$port; printf '$init' >&3; head -c 32 <&3 >'$dir/first'; sleep 60" &
client=$!
disown "$client"
for _ in $(seq 100); do [ -s "$dir/first" ] && break; sleep 0.05; done
[ "$(od -An -tx1 -j9 -N1 "$dir/first" | tr -d ' ')" = 40 ] || { echo "FAIL: first client's INIT not OK"; exit 1; }

# Its link goes down: no FIN, no RST, nothing more from it.
ip netns exec "$ns" ip link set "$peer_if" down

# A second client's INIT waits for the port and gets it once keepalive has ended the first.
start=$(date +%s)
reply=$(bash -c "exec 3<>/dev/tcp/$net.1/$port; printf '$init' >&3; timeout 20 head -c 32 <&3" | od -An -tx1 | tr -d ' \n')
took=$(( $(date +%s) - start ))
if [ "${reply:18:2}" != 40 ]; then
    echo "FAIL: second INIT got '${reply}' after ${took} s"; cat "$dir/out" "$dir/err"; exit 1
fi
grep -q "Client dropped   at" "$dir/out" || { echo "FAIL: no drop line"; cat "$dir/out"; exit 1; }
echo "PASS: the vanished client's port was free after ${took} s"
