#!/bin/sh
# The systemd unit verifies without a warning, and its sandbox stays tight while still leaving
# the daemon the privileges it needs for the port.
# Usage: unit_test.sh UNIT_FILE DAEMON_BINARY   (exit 77: skipped)
unit=$1
daemon=$2
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is missing"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# verify checks that ExecStart names an executable, so the copy points at the built daemon.
sed "s|/usr/sbin/tessal|$daemon|" "$unit" > "$dir/tessal.service"
fail=0
out=$(systemd-analyze verify --man=no "$dir/tessal.service" 2>&1) || fail=1
[ -z "$out" ] || { echo "systemd-analyze verify: $out"; fail=1; }

# The exposure score (0 safest, 10 worst) must stay at 3.0 or below...
if ! systemd-analyze security --offline=yes --threshold=30 "$dir/tessal.service" >"$dir/security" 2>&1; then
    echo "the sandbox got weaker:"; cat "$dir/security"; fail=1
fi
# ...without taking away what the port needs: raw I/O, and changing user ids.
for cap in CAP_SYS_RAWIO CAP_SETUID CAP_SETGID; do
    grep -q "^CapabilityBoundingSet=.*$cap" "$dir/tessal.service" || { echo "lost $cap"; fail=1; }
done
# PrivateDevices=yes would silently drop CAP_SYS_RAWIO, and a filter without @raw-io stops iopl.
grep -q '^PrivateDevices=yes' "$dir/tessal.service" && { echo "PrivateDevices=yes drops CAP_SYS_RAWIO"; fail=1; }
grep -q '^SystemCallFilter=.*@raw-io' "$dir/tessal.service" || { echo "iopl is filtered out"; fail=1; }
exit $fail
