#!/bin/sh
# The systemd units verify without a warning, the service's sandbox stays tight while still
# leaving the daemon the privileges it needs for the port, and its stop waits for the jobs.
# Usage: unit_test.sh UNIT_FILE DAEMON_BINARY   (exit 77: skipped; the socket unit lies beside it)
unit=$1
daemon=$2
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is missing"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# verify checks that ExecStart names an executable, so the copy points at the built daemon.
sed "s|/usr/sbin/tessal|$daemon|" "$unit" > "$dir/tessal.service"
cp "$(dirname "$unit")/tessal.socket" "$dir/tessal.socket"
fail=0
out=$(systemd-analyze verify --man=no "$dir/tessal.service" "$dir/tessal.socket" 2>&1) || fail=1
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
# systemd's SIGKILL must not come before the daemon's own stop deadline (600 s) and grace (20 s),
# and only the listener gets the SIGTERM (service processes are told by it, in two steps).
stop=$(sed -n 's/^TimeoutStopSec=\([0-9]*\)s$/\1/p' "$dir/tessal.service")
[ "${stop:-0}" -gt 620 ] || { echo "TimeoutStopSec=${stop} is shorter than the stop deadline and grace"; fail=1; }
grep -qx 'KillMode=mixed' "$dir/tessal.service" || { echo "KillMode=mixed is missing"; fail=1; }
grep -qx 'Type=notify' "$dir/tessal.service" || { echo "Type=notify is missing"; fail=1; }
exit $fail
