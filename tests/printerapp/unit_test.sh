#!/bin/sh
# tessal-printer-app's systemd unit verifies without a warning, keeps its exposure at 2.5 or below
# and no capability at all.
# Usage: unit_test.sh UNIT_FILE PROGRAM   (exit 77: skipped)
command -v systemd-analyze >/dev/null 2>&1 || { echo "systemd-analyze is missing"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# verify checks that ExecStart names an executable, so the copy points at the built program.
sed "s|/usr/bin/tessal-printer-app|$2|" "$1" >"$dir/tessal-printer-app.service"
fail=0
out=$(systemd-analyze verify --man=no "$dir/tessal-printer-app.service" 2>&1) || fail=1
[ -z "$out" ] || { echo "systemd-analyze verify: $out"; fail=1; }
if ! systemd-analyze security --offline=yes --threshold=25 "$dir/tessal-printer-app.service" >"$dir/security" 2>&1; then
    echo "the sandbox got weaker:"; cat "$dir/security"; fail=1
fi
grep -qx 'CapabilityBoundingSet=' "$dir/tessal-printer-app.service" || { echo "a capability came back"; fail=1; }
exit $fail
