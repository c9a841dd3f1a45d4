#!/bin/sh
# The announcer needs nothing running first: started with no D-Bus system bus it tries again
# until one comes, then waits on it for an Avahi daemon; when the bus goes away and comes back it
# starts over. A private bus on a socket of the test's own (DBUS_SYSTEM_BUS_ADDRESS), so nothing
# of this machine's is touched, and no avahi-daemon, so nothing is published on any network
# (tests/raw/run.sh publishes, inside a network namespace). Skips (77) without dbus-daemon or
# without the announcer (built without Avahi).
# Usage: dnssd_bus.sh TESSAL_BIN
set -u
tessal=$1
command -v dbus-daemon >/dev/null || { echo "SKIP: no dbus-daemon"; exit 77; }
[ -x "$(dirname "$tessal")/tessal-announce" ] || { echo "SKIP: built without Avahi"; exit 77; }
dir=$(mktemp -d /tmp/tessal-bus-XXXXXX)
chmod 755 "$dir"  # the announcer connects as nobody once root is given up
daemon= bus=
cleanup() {
    for p in $daemon $bus; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "-- log"; cat "$dir/log"; echo "-- bus"; cat "$dir/bus.log"; ls -la "$dir"; exit 1; }
within() {  # SECONDS TEXT: true once the daemon's log holds TEXT COUNT times (default once)
    n=0
    while [ "$n" -lt $(($1 * 10)) ]; do
        [ "$(grep -c "$2" "$dir/log")" -ge "${3:-1}" ] && return 0
        sleep 0.1
        n=$((n + 1))
    done
    return 1
}
. "$(dirname "$0")/../support/dnssd.sh"
write_bus_conf "$dir/bus.conf" "$dir/bus"
start_bus() {
    rm -f "$dir/bus"
    dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile >>"$dir/bus.log" 2>&1 &
    bus=$!
}

DBUS_SYSTEM_BUS_ADDRESS=unix:path=$dir/bus "$tessal" -f -V 1 -p 0 --sim >"$dir/log" 2>&1 &
daemon=$!
within 20 'DNS-SD: not announcing yet: .*; trying again until D-Bus and the Avahi daemon run' ||
    fail "no bus: the announcer says it tries again"
start_bus
within 20 'DNS-SD: no Avahi daemon yet; announcing once it runs' || fail "a bus that comes later is found"
kill "$bus"
wait "$bus" 2>/dev/null
within 20 'DNS-SD: lost the Avahi daemon' || fail "a bus that goes is noticed"
start_bus
within 30 'DNS-SD: no Avahi daemon yet; announcing once it runs' 2 || fail "the bus that comes back is found again"
grep -q ERROR "$dir/log" && fail "no error lines"
echo "PASS: the announcer finds a bus that comes late, and finds it again after it restarts"
