#!/usr/bin/env bash
# The fresh-machine proof: on a minimal Debian 12 (bookworm) root that nothing of ours has
# touched, a newcomer's two commands get from a clone to a printing daemon and a passing suite.
#
# Usage: bash tests/fresh/run.sh        (root; takes several minutes, most of it downloads)
#   FRESH_KEEP=DIR    keep nothing but copy the logs to DIR (for a look after a failure)
#   FRESH_MIRROR=URL  another Debian mirror than the one this machine's apt sources name
#
# What it does: builds the root with debootstrap (--variant=minbase, from the Debian mirror this
# machine's own apt sources name), clones this repository's HEAD into it (committed work only),
# and then, inside the root (a chroot in private mount and PID namespaces, so every process and
# mount it makes ends with it), does what the README asks of a newcomer:
#   apt-get install git make        what the two commands need before they can run
#   make run PORT=N SIM=...sink     in the background, until the daemon listens
#   tessal-client -p N print README.md, and the simulator's sink must hold README.md byte for byte
#   tessal-client -p N id (the model), and tessal --probe --sim (a usable port)
#   make test
# `make run` and `make test` must install whatever else they need themselves. Each step is one
# PASS or FAIL line with its time; then the whole run's wall time and the root's disk use.
#
# It skips with one "fresh: SKIP:" line without root, without debootstrap (and no way to install
# it), or when the Debian mirror cannot be reached (the line says what failed). Everything lives
# in one directory under /tmp, removed at exit. The last line is "fresh: N passed, M failed".
set -u
cd "$(dirname "$0")/../.."
src=$PWD
started=$SECONDS
passed=0
failed=0
work=

pass() { echo "fresh: PASS: $*"; passed=$((passed + 1)); }
fail() { echo "fresh: FAIL: $*"; failed=$((failed + 1)); }
skip() {
    echo "fresh: SKIP: $*"
    exit 0
}
finish() {
    echo "fresh: finished in $((SECONDS - started)) s"
    echo "fresh: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

cleanup() {
    [ -n "$work" ] || return
    if [ -n "${FRESH_KEEP:-}" ]; then
        mkdir -p "$FRESH_KEEP" && cp "$work"/*.log "$FRESH_KEEP"/ 2>/dev/null
    fi
    # The root's mounts lived only in the namespace; never remove through one that did not.
    if grep -qF " $work/" /proc/mounts; then
        echo "fresh: ERROR: $work still has mounts; left in place"
        return
    fi
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ "$(id -u)" = 0 ] || skip "needs root (debootstrap, chroot, namespaces)"
command -v unshare >/dev/null && command -v chroot >/dev/null || skip "needs unshare and chroot (util-linux, coreutils)"
commit=$(git rev-parse HEAD 2>/dev/null) || skip "not a git checkout"
work=$(mktemp -d /tmp/tessal.fresh.XXXXXX)
if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 \
        debootstrap >"$work/apt.log" 2>&1 ||
        skip "apt-get install debootstrap failed: $(tail -n 1 "$work/apt.log")"
fi

# The Debian mirror this machine installs from: the first URI given for a bookworm suite, in
# the deb822 .sources files or the one-line .list format.
host_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             /(^|\n)Suites:[^\n]*bookworm([ \t\n]|$)/ && /(^|\n)Types:[^\n]*deb([ \t\n]|$)/ {
                 for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) { split($i, u, " "); print u[2]; exit } }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) while ($i !~ /\]$/) i++; if ($2 ~ /^\[/) i++;
                           if ($(i + 1) == "bookworm") { print $i; exit } }' "$f"
    done
}
mirror=${FRESH_MIRROR:-$(host_mirror | grep -m 1 '/debian/*$')}
[ -n "$mirror" ] || skip "no Debian bookworm mirror in /etc/apt/sources.list*"
echo "fresh: mirror $mirror, commit ${commit:0:12}"

# 1. The root.
root=$work/root
t=$SECONDS
if debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1; then
    pass "debootstrap --variant=minbase bookworm from $mirror ($((SECONDS - t)) s)"
else
    why=$(grep -m 1 -E '^(E|W): ' "$work/debootstrap.log" || tail -n 1 "$work/debootstrap.log")
    if grep -qiE 'Failed getting release file|Couldn.t download|Temporary failure|Could not resolve|Connection (refused|timed out)' \
        "$work/debootstrap.log"; then
        skip "debootstrap cannot reach $mirror: $why"
    fi
    fail "debootstrap --variant=minbase bookworm from $mirror: $why"
    finish
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"  # no service starts in the root
chmod 755 "$root/usr/sbin/policy-rc.d"
git clone -q --no-hardlinks "$src" "$root/root/tessal" && git -C "$root/root/tessal" checkout -q --detach "$commit" ||
    { fail "clone the project into the root"; finish; }

# 2. The newcomer, inside the root. A free port for `make run` (the root shares this network).
port=
for _ in $(seq 50); do
    p=$((20000 + RANDOM % 10000))  # below the kernel's ephemeral range
    (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null || { port=$p; break; }
done
[ -n "$port" ] || { fail "no free loopback port"; finish; }
cp tests/fresh/newcomer.sh "$root/root/newcomer.sh"
t=$SECONDS
timeout --kill-after=30 3600 unshare --mount --pid --fork --propagation private sh -c '
    r=$1
    mount --rbind /dev "$r/dev" && mount -t proc proc "$r/proc" && mount --rbind /sys "$r/sys" &&
        exec chroot "$r" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            LANG=C.UTF-8 /bin/bash /root/newcomer.sh "$2"' sh "$root" "$port" 2>&1 | tee "$work/newcomer.log" |
    grep --line-buffered -E '^fresh: (PASS: |FAIL: |info: |\| )'
echo "fresh: the steps inside the root took $((SECONDS - t)) s"
passed=$((passed + $(grep -c '^fresh: PASS: ' "$work/newcomer.log")))
failed=$((failed + $(grep -c '^fresh: FAIL: ' "$work/newcomer.log")))
if ! grep -q '^fresh: newcomer done' "$work/newcomer.log"; then
    fail "the steps inside the root ran to their end"
fi
echo "fresh: disk use of the root: $(du -sh --one-file-system "$root" | cut -f1)"
finish
