#!/usr/bin/env bash
# The real-port test: tessal's x86 and parport-device backends, port and link code, and the
# daemon, on a parallel port nobody here wrote: QEMU's emulated ISA port (TCG) in a guest that
# boots Debian's own kernel with a busybox initramfs. The emulated printer writes to a file on
# this side.
#
# Usage: bash tests/realport/run.sh        (35 to 90 s on 2 cores; root only to install qemu)
#   REALPORT_PPDEV=0  skip phase 2 (run by default): the kernel's parport, parport_pc and ppdev
#                     modules own the same port, and tessal reaches it through /dev/parport0
#   REALPORT_BYTES=N  bytes sent by the software handshake in each phase (default 8192)
#
# What it does: installs qemu-system-x86 with apt-get when it is missing (root only); downloads
# Debian's kernel package (the one linux-image-amd64 depends on) and busybox-static with
# `apt-get download` and unpacks them with dpkg-deb (nothing of them is installed); builds a
# static tessal and tests/realport/portcheck in a build dir of its own; boots the guest with
# `-parallel file:` and user networking that forwards two free loopback ports (restrict=on) to
# the guest's daemon (8822) and control port (7001). Checked: iopl, register read-back and the
# missing ECR (portcheck, in the guest); the pattern sent by the software handshake arrives in the
# printer file byte for byte; the daemon recognises the port without ECR, answers every request
# in bounded time with the expected status and count, prints nothing, and keeps serving.
# Phase 2, with the kernel's driver owning the port: portcheck as the user "printer" (group lp)
# on tessal's parport-device backend (register read-back through the device's ioctls, the pattern
# again by the software handshake, byte for byte in the printer file); the direct backend refuses
# to start (exit status 2, one ERROR line); the daemon as "printer" on /dev/parport0 answers its
# requests as in phase 1, gives the port and the kernel's claim back, and prints nothing.
#
# It skips with one "realport: SKIP:" line when QEMU cannot run here (no qemu and no root to
# install it, or no way to reach the Debian mirror). Everything it makes lives in one directory
# under /tmp, removed at exit with QEMU stopped by its process id. The last line is
# "realport: N passed, M failed"; the exit status is non-zero when anything failed.
set -u
cd "$(dirname "$0")/../.."
src=$PWD
started=$SECONDS

# What the daemon must answer on this port (no ECR; a printer that never answers an IEEE 1284
# negotiation), in order: "CONNECTION REQUEST COUNT PAYLOAD_BYTES STATUS COUNT", or "CONNECTION
# close". A connection opens at its first request. Connection 2 asks while 1 is still open after
# its failed INIT, so a prompt answer there also shows that a failed INIT gave the port back;
# connection 3 comes after both have gone.
requests=(
    "1 INIT 0 0 FAIL 3"
    "1 READ 16 0 FAIL 0"
    "1 WRITE 16 16 FAIL 0"
    "2 INIT 0 0 FAIL 3"
    "2 READ 1 0 FAIL 0"
    "1 RESET 0 0 OK 0"
    "1 INIT 0 0 FAIL 3"
    "2 RESET 0 0 OK 0"
    "1 close"
    "2 close"
    "3 INIT 0 0 FAIL 3"
    "3 RESET 0 0 OK 0"
    "3 close"
)
# Phase 2, the daemon on the parport device: connection 2's INIT is answered as promptly only if
# connection 1's failed INIT released the kernel's claim (else PPCLAIM would wait).
requests_ppdev=(
    "1 INIT 0 0 FAIL 3"
    "2 INIT 0 0 FAIL 3"
    "1 RESET 0 0 OK 0"
    "1 close"
    "2 RESET 0 0 OK 0"
    "2 close"
)
reply_bound=5  # seconds within which every reply must come
# Lines the daemon must print (each the start of a line of its output at -V 1).
daemon_lines=(
    "no ECP FIFO at 0x778: using the software handshake"
    "ERROR: no answer to the IEEE 1284 negotiation (event 2)"
)
daemon_lines_ppdev=(
    "no ECP FIFO behind the kernel's parport device /dev/parport0: using the software handshake (no probe)"
)

bytes=${REALPORT_BYTES:-8192}
passed=0
failed=0
work=
qemu_pid=

pass() { echo "realport: PASS: $*"; passed=$((passed + 1)); }
fail() { echo "realport: FAIL: $*"; failed=$((failed + 1)); }
skip() {
    echo "realport: SKIP: $*"
    exit 0
}
as_root() { [ "$(id -u)" = 0 ]; }
finish() {
    echo "realport: finished in $((SECONDS - started)) s"
    echo "realport: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

cleanup() {
    exec 3>&- 4>&- 5>&-
    if [ -n "$qemu_pid" ]; then
        kill "$qemu_pid" 2>/dev/null && wait "$qemu_pid" 2>/dev/null
    fi
    [ -n "$work" ] && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

apt_quiet() { DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@" >"$work/apt.log" 2>&1; }

# A TCP port on loopback that nothing listens on now, never 8822.
free_port() {
    local p
    for _ in $(seq 50); do
        p=$((20000 + RANDOM % 10000))  # below the kernel's ephemeral range
        if [ "$p" != "${1:-}" ] && ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# 1. Tools: QEMU (installed if missing and we are root), the kernel and busybox (unpacked only).
work=$(mktemp -d /tmp/tessal.realport.XXXXXX)
chmod 755 "$work"
if ! command -v qemu-system-x86_64 >/dev/null; then
    as_root && command -v apt-get >/dev/null ||
        skip "qemu-system-x86_64 is missing and only root can install it (apt-get install qemu-system-x86)"
    apt_quiet install -y --no-install-recommends qemu-system-x86 ||
        { apt_quiet update && apt_quiet install -y --no-install-recommends qemu-system-x86; } ||
        skip "apt-get install qemu-system-x86 failed: $(tail -n 1 "$work/apt.log")"
fi
command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null || skip "apt-get and dpkg-deb are needed to fetch Debian's kernel"

kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }
kpkg=$(kernel_package)
if [ -z "$kpkg" ] && as_root; then
    apt_quiet update
    kpkg=$(kernel_package)
fi
[ -n "$kpkg" ] || skip "apt-cache knows no linux-image-amd64 (run apt-get update as root)"
mkdir "$work/deb"
as_root && id _apt >/dev/null 2>&1 && chown _apt "$work/deb"  # apt fetches as _apt
# Package lists older than the mirror name versions it no longer has: update once and retry.
fetch() { (cd "$work/deb" && apt_quiet download "$kpkg" busybox-static); }
fetch || { as_root && apt_quiet update && kpkg=$(kernel_package) && [ -n "$kpkg" ] && fetch; } ||
    skip "cannot download $kpkg and busybox-static from the Debian mirror: $(tail -n 1 "$work/apt.log")"

rootfs=$work/rootfs
mkdir -p "$rootfs"/{bin,dev,etc,proc,sys,tmp} "$work/kernel"
dpkg-deb --fsys-tarfile "$work"/deb/busybox-static_*.deb | tar -x -C "$work" ./bin/busybox
mv "$work/bin/busybox" "$rootfs/bin/busybox"
dpkg-deb --fsys-tarfile "$work"/deb/"$kpkg"_*.deb |
    tar -x -C "$work/kernel" --wildcards './boot/vmlinuz-*' '*/e1000.ko' '*/parport.ko' '*/parport_pc.ko' '*/ppdev.ko'
rm -rf "$work/deb"
kver=$(basename "$(ls -d "$work"/kernel/lib/modules/*)")
mkdir -p "$rootfs/lib/modules/$kver"
find "$work/kernel/lib/modules" -name '*.ko' -exec mv {} "$rootfs/lib/modules/$kver/" \;
vmlinuz=$(ls "$work"/kernel/boot/vmlinuz-*)
echo "realport: kernel $kver, $(qemu-system-x86_64 --version | head -n 1)"

# 2. A static daemon and check program, built apart from the project's build dirs; without
#    DNS-SD, since Debian ships libavahi-client only as a shared library.
if ! { cmake -S "$src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DTESSAL_TESTS=OFF -DTESSAL_BENCH=OFF \
        -DTESSAL_REALPORT=ON -DTESSAL_AVAHI=OFF -DCMAKE_EXE_LINKER_FLAGS=-static >"$work/build.log" 2>&1 &&
       cmake --build "$work/build" --target tessal portcheck -j2 >>"$work/build.log" 2>&1; }; then
    tail -n 30 "$work/build.log"
    fail "static build of tessal and portcheck"
    finish
fi
cp "$work/build/service/tessal" "$work/build/tests/realport/portcheck" "$rootfs/bin/"
"$work/build/tests/realport/portcheck" pattern "$bytes" >"$work/expected.prn"
rm -rf "$work/build"
echo "realport: built in $((SECONDS - started)) s since the start"

# 3. The initramfs: busybox, our two programs, the modules, the accounts the checks use.
install -m 0755 tests/realport/init "$rootfs/init"
printf '%s\n' 'root:x:0:0:root:/:/bin/sh' 'nobody:x:65534:65534:nobody:/:/bin/sh' \
    'printer:x:1000:1000:printer:/:/bin/sh' >"$rootfs/etc/passwd"
printf '%s\n' 'root:x:0:' 'lp:x:7:printer' 'nogroup:x:65534:' 'printer:x:1000:' >"$rootfs/etc/group"
echo "$bytes" >"$rootfs/etc/realport-bytes"
(cd "$rootfs" && find . | "$rootfs/bin/busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initrd.gz"
rm -rf "$rootfs" "$work/kernel/lib"

# 4. Boot. The serial console and the printer are files; two loopback ports reach the guest.
daemon_port=$(free_port) && control_port=$(free_port "$daemon_port") || { fail "no free loopback port"; finish; }
console=$work/console.log
printer=$work/printer.prn
: >"$printer"
qemu-system-x86_64 -M pc -accel tcg -m 256 -smp 1 -nodefaults -display none -vga none -no-reboot \
    -kernel "$vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
    -serial "file:$console" -parallel "file:$printer" \
    -netdev "user,id=n0,restrict=on,hostfwd=tcp:127.0.0.1:$daemon_port-:8822,hostfwd=tcp:127.0.0.1:$control_port-:7001" \
    -device e1000,netdev=n0,romfile= >"$work/qemu.log" 2>&1 &
qemu_pid=$!

guest_said() { [ -f "$console" ] && tr -d '\r' <"$console" | grep -q "^realport-guest: $1"; }
wait_guest() {  # TEXT SECONDS: true once the guest printed a line beginning with TEXT
    local end=$((SECONDS + $2))
    while [ "$SECONDS" -le "$end" ]; do
        guest_said "$1" && return 0
        kill -0 "$qemu_pid" 2>/dev/null || return 1
        sleep 0.5
    done
    return 1
}
boot_started=$SECONDS
if ! wait_guest "daemon listening" 240; then
    fail "the guest boots and its daemon listens"
    tail -n 20 "$work/qemu.log" "$console" 2>/dev/null
    finish
fi
echo "realport: guest up and daemon listening $((SECONDS - boot_started)) s after boot"

# 5. The bytes portcheck sent by the software handshake, as the emulated printer filed them.
printer_holds() {  # EXPECTED_FILE WHAT
    if cmp -s "$1" "$printer"; then
        pass "$2"
    else
        fail "$2 ($(stat -c %s "$printer") bytes filed; $(cmp "$1" "$printer" 2>&1 | head -n 1))"
    fi
}
printer_holds "$work/expected.prn" "$bytes software-handshake bytes reach the printer file intact"

# 6. The daemon, over the forwarded port: one request at a time, each reply within the bound.
be32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)); }
declare -A code_of=([READ]=0 [WRITE]=1 [INIT]=2 [RESET]=3)
# Sends one request on file descriptor FD and sets $answer to "STATUS COUNT" (STATUS OK, FAIL,
# or the code in hex) or "none" when no whole reply came within the bound, and $took_ms.
ask() {  # FD REQUEST COUNT PAYLOAD_BYTES
    local fd=$1 zeros18 hex t0
    zeros18=$(printf '\\x00%.0s' $(seq 18))
    t0=$(date +%s%N)
    printf "\\xe1\\x50\\xed\\x5f$(be32 $((32 + $4)))\\x01\\x$(printf %02x "${code_of[$2]}")$zeros18$(be32 "$3")" >&"$fd" &&
        head -c "$4" /dev/zero | tr '\0' 'A' >&"$fd"
    hex=$(timeout "$reply_bound" head -c 32 <&"$fd" | od -An -tx1 -v | tr -d ' \n')
    took_ms=$((($(date +%s%N) - t0) / 1000000))
    if [ ${#hex} -ne 64 ] || [ "${hex:0:8}" != e150ed5f ]; then
        answer=none
        return
    fi
    local length=$((16#${hex:8:8})) status=${hex:18:2} count=$((16#${hex:56:8}))
    [ "$length" -gt 32 ] && timeout "$reply_bound" head -c $((length - 32)) <&"$fd" >/dev/null
    case $status in 40) status=OK ;; 41) status=FAIL ;; esac
    answer="$status $count"
}
# Runs the requests of the named array (see requests above), each on its connection.
run_requests() {  # ARRAY_NAME
    local -n list=$1
    local -A conn_state=()  # connection -> open, closed, or dead (a reply did not come: stop asking)
    local entry conn req count payload want fd
    for entry in "${list[@]}"; do
        read -r conn req count payload want <<<"$entry"
        fd=$((conn + 2))
        if [ "$req" = close ]; then
            [ "${conn_state[$conn]:-}" = closed ] || eval "exec $fd>&-"
            conn_state[$conn]=closed
            continue
        fi
        if [ -z "${conn_state[$conn]:-}" ]; then
            if eval "exec $fd<>/dev/tcp/127.0.0.1/$daemon_port"; then
                conn_state[$conn]=open
            else
                conn_state[$conn]=dead
            fi
        fi
        if [ "${conn_state[$conn]}" != open ]; then
            # A reply that may still come would be taken for the next one's: stop asking here.
            fail "connection $conn: $req $count not sent (${conn_state[$conn]} connection)"
            continue
        fi
        ask "$fd" "$req" "$count" "$payload"
        if [ "$answer" = "$want" ]; then
            pass "connection $conn: $req $count answered $answer in $took_ms ms"
        else
            fail "connection $conn: $req $count answered '$answer' in $took_ms ms, expected '$want' within $reply_bound s"
            [ "$answer" = none ] && conn_state[$conn]=dead
        fi
    done
}
daemon_printed() {  # ARRAY_NAME: each line must begin a line of the console
    local -n lines=$1
    local line
    sleep 1  # the daemon's last lines reach the console
    for line in "${lines[@]}"; do
        if tr -d '\r' <"$console" | awk -v l="$line" 'index($0, l) == 1 { found = 1 } END { exit !found }'; then
            pass "the daemon prints \"$line\""
        else
            fail "the daemon prints \"$line\""
        fi
    done
}
run_requests requests
daemon_printed daemon_lines
printer_holds "$work/expected.prn" "the daemon printed nothing while answering"

# 7. Phase 2 unless skipped, then the guest powers off.
word=halt
[ "${REALPORT_PPDEV:-1}" = 1 ] && word=ppdev
echo "$word" >"/dev/tcp/127.0.0.1/$control_port" || fail "send '$word' to the guest's control port"
if [ "$word" = ppdev ]; then
    phase2_started=$SECONDS
    if wait_guest "ppdev daemon listening" 180; then
        echo "realport: phase 2's daemon listening $((SECONDS - phase2_started)) s after the word"
        cat "$work/expected.prn" "$work/expected.prn" >"$work/expected2.prn"
        printer_holds "$work/expected2.prn" "phase 2: $bytes more bytes through the parport device reach the printer file intact"
        run_requests requests_ppdev
        daemon_printed daemon_lines_ppdev
        printer_holds "$work/expected2.prn" "phase 2: the daemon on the parport device printed nothing while answering"
    else
        fail "phase 2: the daemon on the parport device listens"
    fi
    echo halt >"/dev/tcp/127.0.0.1/$control_port" 2>/dev/null
fi
if ! wait_guest "done" 120; then
    fail "the guest finishes"
fi
end=$((SECONDS + 20))
while kill -0 "$qemu_pid" 2>/dev/null && [ "$SECONDS" -le "$end" ]; do sleep 0.2; done
if kill -0 "$qemu_pid" 2>/dev/null; then
    fail "QEMU exits after the guest powers off"
else
    wait "$qemu_pid"
    qemu_pid=
fi

# The guest's own checks and facts.
while IFS= read -r line; do
    case $line in
        "realport-guest: PASS: "*) pass "guest: ${line#realport-guest: PASS: }" ;;
        "realport-guest: FAIL: "*) fail "guest: ${line#realport-guest: FAIL: }" ;;
        "realport-guest: info: "*) echo "realport: info: ${line#realport-guest: info: }" ;;
    esac
done < <(tr -d '\r' <"$console")
if [ "$failed" -gt 0 ]; then
    echo "realport: the guest's console:"
    tr -d '\r' <"$console" | grep -v '^realport-guest: \(PASS\|info\)' | tail -n 40 | sed 's/^/  | /'
fi
finish
