#!/bin/sh
# A source install (`cmake --install`) under /usr/local, staged in a scratch DESTDIR: the CUPS
# backend goes where the system's cupsd looks (CUPS's ServerBin, not /usr/local/lib/cups), and
# the installed daemon finds its DNS-SD announcer under ../libexec/tessal and runs it.
# Usage: install_test.sh BUILD_DIR SERVERBIN
set -u
build=$1
serverbin=$2
root=$(mktemp -d /tmp/tessal-install-XXXXXX)
chmod 755 "$root"  # the announcer runs as nobody once root is given up
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$root/log" ] && cat "$root/log"; exit 1; }

DESTDIR=$root cmake --install "$build" --prefix /usr/local >"$root/install.log" 2>&1 || { cat "$root/install.log"; fail "cmake --install"; }
[ -x "$root$serverbin/backend/tessal" ] || fail "the backend is not in $serverbin/backend"
[ ! -e "$root/usr/local/lib/cups/backend/tessal" ] || fail "a backend in /usr/local/lib/cups, where cupsd never looks"
[ -x "$root/usr/local/sbin/tessal" ] || fail "no daemon in /usr/local/sbin"
if [ -x "$build/service/tessal-announce" ]; then
    [ -x "$root/usr/local/libexec/tessal/tessal-announce" ] || fail "no announcer in /usr/local/libexec/tessal"
    # A bus that cannot be there: the announcer says it waits, and nothing is published anywhere.
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=$root/no-bus "$root/usr/local/sbin/tessal" -f -V 3 -p 0 --sim >"$root/log" 2>&1 &
    pid=$!
    for _ in $(seq 300); do
        grep -q 'DNS-SD: not announcing yet' "$root/log" && break
        sleep 0.1
    done
    grep -q 'DNS-SD: not announcing yet' "$root/log" || fail "the installed daemon did not run its announcer"
    grep -q "DNS-SD: the printer's Device ID, read at start-up: MFG:Tessaline;" "$root/log" ||
        fail "the Device ID was not read at start-up"
fi
echo "PASS: source install: backend in $serverbin/backend, announcer found from the installed daemon"
