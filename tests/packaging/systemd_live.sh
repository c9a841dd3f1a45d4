#!/bin/bash
# Where systemd runs the machine: the daemon says it is ready once it listens (Type=notify), and a
# detached daemon's lines reach the journal, the same text as -f prints.
# Usage: systemd_live.sh DAEMON_BINARY   (exit 77: skipped)
daemon=$1
[ "$(cat /proc/1/comm 2>/dev/null)" = systemd ] || { echo "skipped: systemd is not PID 1 here"; exit 77; }
port=$(( 20000 + $$ % 20000 ))
unit="tessal-test-$$"
fail=0
# systemd-run returns once a Type=notify service has sent READY=1: the port must answer then.
if systemd-run --quiet --unit="$unit" -p Type=notify -p NotifyAccess=main \
        "$daemon" -f --no-dnssd --sim -p "$port"; then
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "ready, but port $port refuses"; fail=1; }
    systemctl stop "$unit"
else
    echo "the notify service did not start"; fail=1
fi
# Detached, its lines go to syslog (the journal) under the name tessal: a connection's line.
pidfile=$(mktemp /tmp/tessal-test-XXXXXX)
since=$(date +%s)
"$daemon" -V 3 --no-dnssd --sim -p "$port" --pidfile "$pidfile" || fail=1
pid=$(cat "$pidfile")
(exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null
i=0
until journalctl -q -t tessal --since "@$since" -o cat 2>/dev/null | grep -q '^Client connected at '; do
    i=$((i + 1))
    [ $i -lt 600 ] || { echo "the journal has no 'Client connected at' line"; fail=1; break; }
    sleep 0.1
done
[ -n "$pid" ] && kill "$pid"
rm -f "$pidfile"
exit $fail
