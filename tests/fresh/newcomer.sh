#!/bin/bash
# A newcomer's first hour, run by tests/fresh/run.sh as root inside a fresh Debian 12 root with
# the project cloned at /root/tessal. Argument: the TCP port for `make run`. Each step prints
# "fresh: PASS: ..." or "fresh: FAIL: ..." with its time; the last line is "fresh: newcomer done".
# Everything started here dies with this script (it is the PID namespace's first process).
set -u
port=$1
export DEBIAN_FRONTEND=noninteractive
cd /root/tessal

step() {  # NAME LOG COMMAND...: one line with the result and the time; on failure, LOG's end
    local name=$1 log=$2 t=$SECONDS
    shift 2
    if "$@"; then
        echo "fresh: PASS: $name ($((SECONDS - t)) s)"
    else
        echo "fresh: FAIL: $name ($((SECONDS - t)) s)"
        [ -f "$log" ] && tail -n 25 "$log" | sed 's/^/fresh: | /'
        return 1
    fi
}
quiet() {  # LOG COMMAND...: the command's output goes to LOG only
    local log=$1
    shift
    "$@" >"$log" 2>&1
}

# What a fresh Debian lacks before the README's two commands can start: git (the clone, which
# the host made for us, and the suite's check for files left in the tree) and make.
step "apt-get install git make" /root/apt.log \
    quiet /root/apt.log sh -c 'apt-get -q update && apt-get -q install -y git make' ||
    { echo "fresh: newcomer done"; exit 1; }

# make run, in the background and in its own process group, until the daemon listens.
sink=/root/printed.prn
setsid make run PORT="$port" SIM="peer=sink,sink=$sink,rate=0" >/root/make-run.log 2>&1 &
run_pid=$!
listening() {
    local end=$((SECONDS + 1800))
    while [ "$SECONDS" -le "$end" ]; do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        kill -0 "$run_pid" 2>/dev/null || return 1
        sleep 1
    done
    return 1
}
if step "make run PORT=$port: the daemon listens" /root/make-run.log listening; then
    step "tessal-client print README.md" /root/print.log \
        quiet /root/print.log ./build/client/tessal-client -p "$port" print README.md
    step "the simulator's sink holds README.md byte for byte" /root/cmp.log quiet /root/cmp.log cmp README.md "$sink"
    step "tessal-client id names the printer's model" /root/id.log \
        sh -c "./build/client/tessal-client -p $port id >/root/id.log 2>&1 && grep -qx 'model: MFP-1284 Sim' /root/id.log"
fi
step "tessal --probe --sim reports a usable port" /root/probe.log \
    sh -c "./build/service/tessal --probe --sim >/root/probe.log 2>&1 && grep -q '^verdict: usable' /root/probe.log"
kill -- -"$run_pid" 2>/dev/null
wait "$run_pid" 2>/dev/null

step "make test" /root/make-test.log quiet /root/make-test.log make test
grep -E '^(100%|[0-9]+%) tests passed|^leftovers: ' /root/make-test.log | sed 's/^/fresh: info: /'
echo "fresh: newcomer done"
