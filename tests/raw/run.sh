#!/usr/bin/env bash
# The raw print port and DNS-SD with real clients that are not ours: CUPS's own socket:// backend
# printing through a real cupsd, socat, Debian's avahi-daemon with a D-Bus of the test's own,
# avahi-browse, and lpinfo through our CUPS backend.
#
# Usage: tests/raw/run.sh [BUILD_DIR]      (default: build)
# Needs root (namespaces, avahi-daemon, cupsd); skips with one line otherwise. It runs as PID 1
# of new network, mount and PID namespaces: loopback only, a private /run for the bus and the
# daemons' pid files, and when it ends the kernel ends every process it started. Its scratch
# folder goes too. The last line is "N passed, M failed"; the exit status is non-zero when
# anything failed.
set -u
build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "SKIP: no build folder ${1:-build}"; exit 0; }
skip() { echo "SKIP: raw port and DNS-SD tests: $*"; exit 0; }

if [ "${TESSAL_RAW_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || skip "need root"
    [ -x "$build/service/tessal" ] && [ -x "$build/packaging/cups/tessal" ] || skip "build tessal and its backend first"
    dnssd=1
    if [ ! -x "$build/service/tessal-announce" ]; then
        echo "SKIP: the DNS-SD checks: this tessal was built without libavahi-client (apt-get install libavahi-client-dev)"
        dnssd=0
    fi
    tools="unshare ip cupsd lpadmin lpinfo socat"
    [ "$dnssd" = 1 ] && tools="$tools dbus-daemon dbus-send avahi-daemon avahi-browse"
    for c in $tools; do
        command -v "$c" >/dev/null || skip "no $c (apt-get install avahi-daemon avahi-utils dbus cups socat iproute2)"
    done
    TESSAL_RAW_INSIDE=1 TESSAL_RAW_DNSSD=$dnssd exec unshare --net --mount --pid --fork --mount-proc \
        --propagation private bash "$0" "$build"
fi
dnssd=${TESSAL_RAW_DNSSD:-0}

. "$(dirname "$0")/../support/checks.sh"

work=$(mktemp -d /tmp/tessal-raw-XXXXXX)
chmod 755 "$work"  # cupsd runs backends as "lp"
trap 'rm -rf "$work"' EXIT
ip link set lo up
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon "$work/services"
[ "$dnssd" = 1 ] && mount --bind "$work/services" /etc/avahi/services  # none of this machine's

. "$(dirname "$0")/../support/dnssd.sh"
write_bus_conf "$work/bus.conf" /run/dbus/system_bus_socket
start_bus() {
    rm -f /run/dbus/system_bus_socket
    dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >>"$work/dbus.log" 2>&1 &
    bus=$!
    within 5 test -S /run/dbus/system_bus_socket || fail "the test's D-Bus starts"
}

write_avahi_conf "$work/avahi.conf"

sim="peer=sink,sink=$work/sink.prn,rate=0"
port=8822
raw=9100
tessal=$build/service/tessal

# 1. A daemon started before D-Bus and Avahi waits for both, then announces both services with
# the printer's make and model, read from the port at start-up.
"$tessal" -f -V 3 -p "$port" --raw-port --wait-timeout 1 --sim="$sim" >"$work/tessal.log" 2>&1 &
daemon=$!
if [ "$dnssd" = 1 ]; then
    within 5 grep -q 'DNS-SD: not announcing yet' "$work/tessal.log"
    check "with no D-Bus yet the daemon says it tries again" \
        grep -q 'DNS-SD: not announcing yet: .*; trying again until D-Bus and the Avahi daemon run' "$work/tessal.log"
    start_bus
    check "once D-Bus runs it says it waits for an Avahi daemon" \
        within 15 grep -q 'DNS-SD: no Avahi daemon yet; announcing once it runs' "$work/tessal.log"
    start_avahi() {
        avahi-daemon -f "$work/avahi.conf" --no-chroot --no-rlimits >>"$work/avahi.log" 2>&1 &
        avahi=$!
    }
    start_avahi
    avahi_up() {
        dbus-send --system --print-reply --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState |
            grep -q 'int32 2'
    }
    check "avahi-daemon runs on the test's bus" within 10 avahi_up

    # Records as avahi-browse shows them, names unescaped ("\032" is a blank, "\035" a '#').
    browse() { avahi-browse -rptk "$1" 2>/dev/null | sed 's/\\032/ /g; s/\\035/#/g' | grep -F "=;lo;IPv4;$2;$1;"; }
    has_record() {  # TYPE NAME PORT TXT...
        local line
        line=$(browse "$1" "$2") || return 1
        echo "$line" | grep -q ";$3;" || return 1
        shift 3
        for t in "$@"; do echo "$line" | grep -qF "\"$t\"" || return 1; done
    }
    name="tessal on tessalhost"
    model=("ty=Tessaline MFP-1284 Sim" "product=(MFP-1284 Sim)" usb_MFG=Tessaline "usb_MDL=MFP-1284 Sim")
    check "avahi-browse sees _pdl-datastream._tcp on port $raw with its TXT and the model, no client having asked" \
        within 10 has_record _pdl-datastream._tcp "$name" "$raw" txtvers=1 qtotal=1 "note=parallel port of tessalhost" \
        "${model[@]}" usb_CMD=PCL,PJL pdl=application/vnd.hp-PCL
    check "avahi-browse sees _tessal._tcp on port $port with its TXT" \
        has_record _tessal._tcp "$name" "$port" txtvers=1 "raw=$raw" "${model[@]}"
    check "the daemon says what it announces" grep -q "DNS-SD: announcing \"$name\" as \"Tessaline MFP-1284 Sim\" \
(_pdl-datastream._tcp port $raw, _tessal._tcp port $port)" "$work/tessal.log"
    check "the daemon itself does not link Avahi's libraries" bash -c "! ldd '$tessal' | grep -q libavahi"

    # 2. A second daemon on the same machine: Avahi's collision handling gives it another name.
    "$tessal" -f -V 1 -p 8823 --raw-port=9101 --sim="peer=sink,sink=$work/sink2.prn,rate=0" >"$work/tessal2.log" 2>&1 &
    check "a second daemon on the machine is announced as \"$name #2\"" \
        within 10 has_record _tessal._tcp "$name #2" 8823
    check "... and the first keeps its name" has_record _tessal._tcp "$name" "$port"

    # Avahi restarts (a package upgrade), then D-Bus and Avahi both: the daemon announces itself
    # again each time, model included.
    kill "$avahi"
    wait "$avahi"
    start_avahi
    check "after avahi-daemon restarts the printer is announced again, with its model" \
        within 15 has_record _pdl-datastream._tcp "$name" "$raw" txtvers=1 "${model[@]}"
    kill "$avahi" "$bus"
    wait "$avahi" "$bus"
    start_bus
    start_avahi
    check "after D-Bus and avahi-daemon restart it is announced again, with its model" \
        within 20 has_record _pdl-datastream._tcp "$name" "$raw" txtvers=1 "${model[@]}"
    check "... and the second daemon too" within 10 has_record _tessal._tcp "$name #2" 8823
fi

# 3. lpinfo through our backend, in a private cupsd whose ServerBin has our backend.
cups=$work/cups
mkdir -p "$cups"/{spool,cache,state,log,tmp,bin/backend}
for f in /usr/lib/cups/*; do [ "$(basename "$f")" = backend ] || ln -s "$f" "$cups/bin/"; done
for f in /usr/lib/cups/backend/*; do ln -s "$f" "$cups/bin/backend/"; done
rm -f "$cups/bin/backend/tessal"
install -m 0755 "$build/packaging/cups/tessal" "$cups/bin/backend/tessal"
chmod -R a+rX "$cups"
chmod 1777 "$cups/tmp"
. "$(dirname "$0")/../support/cupsd.sh"
private_cupsd_conf "$cups" "$cups/bin"
cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" >"$cups/log/cupsd.out" 2>&1 &
export CUPS_SERVER=$cups/cups.sock
check "cupsd runs" within 10 bash -c 'lpstat -r | grep -q "scheduler is running"'
if [ "$dnssd" = 1 ]; then
    lpinfo -l -v --include-schemes tessal >"$work/lpinfo.txt" 2>&1
    check "lpinfo -v lists the daemon as tessal://tessalhost.local:$port or by address" \
        grep -qE "uri = tessal://(tessalhost\.local|127\.0\.0\.1):$port$" "$work/lpinfo.txt"
    check "lpinfo -v lists the second daemon too, with its own name" grep -qx "        info = $name #2" "$work/lpinfo.txt"
fi

# 4. CUPS's socket:// backend prints to the raw port; with waiteof (its default) it half-closes
# and waits for the port to close, which must come promptly. The job first finds the port held
# by a framed client for twice --wait-timeout: it waits (a reset would pass for success there).
head -c 1500000 /dev/urandom >"$work/job1.bin"
lpadmin -p rawq -E -v "socket://127.0.0.1:$raw" -m raw -o printer-error-policy=abort-job >/dev/null 2>&1
exec 4<>/dev/tcp/127.0.0.1/$port
printf '\xe1\x50\xed\x5f\x00\x00\x00\x20\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >&4
head -c 32 <&4 >/dev/null  # INIT answered: the port is held
start=$(date +%s%3N)
lp -d rawq -o raw "$work/job1.bin" >/dev/null
sleep 2
exec 4<&-
done_job() { [ "$(lpstat -W completed -o rawq | wc -l)" -ge 1 ]; }
check "a socket:// job through cupsd completes" within 20 done_job
took=$(($(date +%s%3N) - start))
check "... once the holder has gone (after 2 s), within 5 s of that (took $took ms)" \
    test "$took" -ge 1900 -a "$took" -le 7000
check "... and lands in the sink byte for byte" cmp -s "$work/job1.bin" "$work/sink.prn"

# 5. A plain socat job follows it, and the daemon logs the job.
head -c 200000 /dev/urandom >"$work/job2.bin"
socat -u "FILE:$work/job2.bin" "TCP:127.0.0.1:$raw,shut-down" 2>"$work/socat.log"
cat "$work/job1.bin" "$work/job2.bin" >"$work/both.bin"
check "a socat job lands after it, byte for byte" within 5 cmp -s "$work/both.bin" "$work/sink.prn"
check "the daemon logs 'job from 127.0.0.1: 200000 bytes'" \
    within 5 grep -q 'job from 127.0.0.1: 200000 bytes, [0-9.]* s$' "$work/tessal.log"

# 6. A stop never loses a job: one that CUPS's socket backend has handed over (and half-closed)
# while it waits behind a framed holder is printed once the holder has gone, after the SIGTERM.
head -c 200000 /dev/urandom >"$work/job3.bin"
exec 4<>/dev/tcp/127.0.0.1/$port
printf '\xe1\x50\xed\x5f\x00\x00\x00\x20\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >&4
head -c 32 <&4 >/dev/null  # INIT answered: the port is held
lp -d rawq -o raw "$work/job3.bin" >/dev/null
queued() { "$tessal" --status="$daemon" 2>/dev/null | grep -q '^waiting 1:'; }
check "a raw job waits behind the framed holder" within 20 queued
kill -TERM "$daemon"
check "the daemon stops, letting its jobs finish" \
    within 5 grep -q 'Stopping on signal 15: 2 service processes to finish' "$work/tessal.log"
exec 4<&-  # the holder goes: the queued job is printed
done3() { [ "$(lpstat -W completed -o rawq | wc -l)" -ge 2 ]; }
check "the queued job completes in CUPS" within 20 done3
cat "$work/both.bin" "$work/job3.bin" >"$work/all.bin"
check "... and is printed whole" within 5 cmp -s "$work/all.bin" "$work/sink.prn"

# 7. The services go when the daemon has stopped.
wait "$daemon"
status=$?
check "the daemon stops with status 0 on SIGTERM" test "$status" = 0
if [ "$dnssd" = 1 ]; then
    gone() { ! browse _tessal._tcp "$name" >/dev/null; }
    check "its services are withdrawn when it stops" within 5 gone
    check "the other daemon's stay" has_record _tessal._tcp "$name #2" 8823
fi

if [ "$failed" -gt 0 ]; then
    echo "-- status $status"
    for f in tessal.log tessal2.log avahi.log lpinfo.txt; do [ -f "$work/$f" ] && echo "-- $f" && tail -20 "$work/$f"; done
    grep -E '\[Job [0-9]+\]' "$cups/log/error_log" | tail -20
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
