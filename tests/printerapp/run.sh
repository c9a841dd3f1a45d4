#!/usr/bin/env bash
# tessal-printer-app end to end, with the clients a phone or a desktop would be: ipptool asks for
# the printer's attributes, prints PWG raster, JPEG, PNG and PCL, and sees printer-state-reasons
# while another client holds the port and while the daemon is gone; a cupsd queue made by
# `lpadmin -m everywhere` prints a PDF the way a Linux desktop does; ippfind finds the printer
# through Avahi. The daemon runs on the simulator with a sink, so what reaches the printer is
# checked byte for byte. Rows: a PCL printer, a PostScript one, and one whose Device ID names no
# language we drive.
#
# Usage: tests/printerapp/run.sh [BUILD_DIR]      (default: build)
# Needs root (namespaces, avahi-daemon, cupsd); skips with one line otherwise. Like
# tests/raw/run.sh it runs as PID 1 of new network, mount and PID namespaces, so every process
# it starts ends with it and nothing but loopback is reachable. The last line is
# "N passed, M failed".
set -u
build=$(cd "${1:-build}" 2>/dev/null && pwd) || { echo "SKIP: no build folder ${1:-build}"; exit 0; }
skip() { echo "SKIP: printer application tests: $*"; exit 0; }
# On an ASan build (run.sh build-asan) what PAPPL and libcups leak themselves is suppressed; the
# app's exit status at each row's end then fails on a leak or an error of its own.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
app=$build/printerapp/tessal-printer-app

if [ "${TESSAL_PAPP_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || skip "need root"
    [ -x "$app" ] || skip "tessal-printer-app was not built (apt-get install libpappl-dev)"
    [ -x "$build/service/tessal" ] || skip "build tessal first"
    for c in unshare ip ipptool cupsfilter cupsd lpadmin lp lpstat curl; do
        command -v "$c" >/dev/null || skip "no $c (apt-get install cups cups-ipp-utils cups-filters curl iproute2)"
    done
    dnssd=1
    for c in dbus-daemon dbus-send avahi-daemon ippfind; do
        command -v "$c" >/dev/null || { echo "SKIP: the DNS-SD check: no $c"; dnssd=0; }
    done
    TESSAL_PAPP_INSIDE=1 TESSAL_PAPP_DNSSD=$dnssd exec unshare --net --mount --pid --fork --mount-proc \
        --propagation private bash "$0" "$build"
fi
dnssd=${TESSAL_PAPP_DNSSD:-0}

. "$(dirname "$0")/../support/checks.sh"
. "$(dirname "$0")/../support/dnssd.sh"

work=$(mktemp -d /tmp/tessal-papp-XXXXXX)
chmod 755 "$work"  # cupsd's filters run as "lp"
trap 'rm -rf "$work"' EXIT
ip link set lo up
mount -t tmpfs -o mode=755 tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon "$work/services"

if [ "$dnssd" = 1 ]; then
    mount --bind "$work/services" /etc/avahi/services  # none of this machine's
    write_bus_conf "$work/bus.conf" /run/dbus/system_bus_socket
    write_avahi_conf "$work/avahi.conf"
    dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
    within 5 test -S /run/dbus/system_bus_socket || fail "the test's D-Bus starts"
    avahi-daemon -f "$work/avahi.conf" --no-chroot --no-rlimits >"$work/avahi.log" 2>&1 &
    avahi_up() {
        dbus-send --system --print-reply --dest=org.freedesktop.Avahi / org.freedesktop.Avahi.Server.GetState |
            grep -q 'int32 2'
    }
    within 10 avahi_up || fail "avahi-daemon runs on the test's bus"
fi

# A one-page PWG raster file, as a phone sends it, and the PDF a desktop prints.
cupsfilter -m image/pwg-raster -o page-ranges=1 -o print-color-mode=monochrome -o printer-resolution=300dpi \
    /usr/share/cups/data/default-testpage.pdf >"$work/page.pwg" 2>"$work/cupsfilter.log" ||
    fail "cupsfilter makes a PWG raster page"
cupsfilter -m image/pwg-raster -o page-ranges=1 -o print-color-mode=color -o printer-resolution=300dpi \
    /usr/share/cups/data/default-testpage.pdf >"$work/color.pwg" 2>>"$work/cupsfilter.log" ||
    fail "cupsfilter makes a colour PWG raster page"
pdf=/usr/share/cups/data/default-testpage.pdf

# start_daemon: the row's daemon, again after it was stopped (its sink is kept: appended to).
start_daemon() {
    : >"$work/$row-tessal.log"
    "$build/service/tessal" -f -V 1 -p "$dport" --wait-timeout 1 --sim="$sim" >>"$work/$row-tessal.log" 2>&1 &
    daemon=$!
    within 10 grep -q "listening" "$work/$row-tessal.log" || true
}
# start_row NAME DEVICE_ID [SIM_KEYS]: a daemon on the simulator with a sink and the app beside it.
dport=8821
aport=7999
start_row() {
    row=$1
    dport=$((dport + 1))
    aport=$((aport + 1))
    sink=$work/$row.prn
    log=$work/$row-app.log
    : >"$sink"
    sim="peer=sink,sink=$sink,rate=0${3:+,$3},id=$2"
    start_daemon
    "$app" server -o "tessal-uri=tessal://127.0.0.1:$dport" -o "server-port=$aport" -o "log-file=$log" \
        -o log-level=debug -o "state-file=$work/$row.state" -o "spool-directory=$work/$row-spool" \
        -o "status-command='$build/service/tessal --status=$daemon'" \
        >"$work/$row-app.out" 2>&1 &
    papp=$!
    uri=ipp://127.0.0.1:$aport/ipp/print
}
stop_row() {
    kill -TERM "$papp" "$daemon" 2>/dev/null
    wait "$papp"
    check "$row: the app shuts down cleanly (no leak or error under ASan)" test $? = 0
    wait "$daemon" 2>/dev/null
}
attrs() { ipptool -tv "$uri" get-printer-attributes.test >"$work/$row-attrs.txt" 2>&1; }
has_attr() { grep -E "^ +$1 \([^)]*\) = $2" "$work/$row-attrs.txt" >/dev/null; }
# print_job FILE FORMAT: Print-Job through ipptool; true once the job is accepted.
print_job() { ipptool -tv -d "filetype=$2" -f "$1" "$uri" print-job.test >"$work/$row-print.txt" 2>&1; }
completed() { ipptool -tv "$uri" get-completed-jobs.test 2>/dev/null | grep -c 'job-state (enum) = completed'; }
sink_has() { LC_ALL=C grep -qaF -- "$1" "$sink"; }
# reason_is KEYWORD: printer-state-reasons holds it; ours_gone: neither "other" nor "offline".
reasons() { ipptool -tv "$uri" get-printer-attributes.test 2>/dev/null | grep -E '^ +printer-state-reasons \('; }
reason_is() { reasons | grep -qE "= (.*,)?$1(,|\$)"; }
ours_gone() { reasons >"$work/reasons.txt" && ! grep -qE '[=,] ?(other|offline)(,|$)' "$work/reasons.txt"; }
echo '{ OPERATION Get-Jobs GROUP operation-attributes-tag ATTR charset attributes-charset utf-8
ATTR language attributes-natural-language en ATTR uri printer-uri $uri
ATTR keyword requested-attributes job-state-message STATUS successful-ok }' >"$work/job-message.test"
job_says() { ipptool -tv "$uri" "$work/job-message.test" 2>/dev/null | grep -qF "job-state-message (textWithoutLanguage) = $1"; }
starts_with() { [ "$(head -c ${#1} "$sink")" = "$1" ]; }

# 1. A PCL printer.
start_row pcl 'MFG:Tessaline;MDL:MFP-1284 Sim;CMD:PCL,PJL;CLS:PRINTER;'
check "PCL: the app adds the daemon's printer from its Device ID" \
    within 15 grep -q "added the printer 'Tessaline MFP-1284 Sim'" "$log"
check "... with the PCL driver" grep -q 'driver tessal_pcl from the command set PCL,PJL' "$log"
within 5 attrs
check "Get-Printer-Attributes names the make and model" has_attr printer-make-and-model 'Tessaline MFP-1284 Sim$'
check "... and lists image/pwg-raster and image/urf" \
    bash -c "grep -E '^ +document-format-supported .*image/pwg-raster' '$work/pcl-attrs.txt' | grep -q image/urf"
check "... and the pass-through type, but no PostScript" \
    bash -c "grep -E '^ +document-format-supported' '$work/pcl-attrs.txt' | grep -q 'application/vnd.hp-PCL' &&
             ! grep -E '^ +document-format-supported' '$work/pcl-attrs.txt' | grep -q postscript"
check "Print-Job of a one-page PWG raster is accepted" print_job "$work/page.pwg" image/pwg-raster
check "... and PCL reaches the printer: a reset first" within 20 starts_with $'\eE\e&l'
ends_with() { [ "$(tail -c ${#1} "$sink" | od -An -tx1)" = "$(printf %s "$1" | od -An -tx1)" ]; }
pcl_page() { sink_has $'\e*t300R' && sink_has $'\e*b2M' && LC_ALL=C grep -qaE $'\e\\*b[1-9][0-9]*W' "$sink" && ends_with $'\e*rB\f\eE'; }
check "... then raster rows in mode 2 at 300 dpi, a form feed and a reset" within 10 pcl_page
size_before=$(stat -c %s "$sink")

# Pass-through: a document already in PCL arrives byte for byte.
{ printf '\033E'; head -c 300000 /dev/urandom; printf '\033E'; } >"$work/doc.pcl"
check "a PCL document (application/vnd.hp-PCL) is accepted" print_job "$work/doc.pcl" application/vnd.hp-PCL
passed_through() { [ "$(stat -c %s "$sink")" -ge $((size_before + 300004)) ] && tail -c 300004 "$sink" | cmp -s - "$work/doc.pcl"; }
check "... and passes through untouched" within 20 passed_through

# Photos as a phone sends them: PAPPL decodes JPEG and PNG into lines for the PCL driver. The
# test page becomes one of each by poppler's pdftoppm, which cups-filters brings.
new_pcl() {
    tail -c +$((size_before + 1)) "$sink" >"$work/new.prn"
    [ "$(head -c 2 "$work/new.prn")" = $'\eE' ] && LC_ALL=C grep -qaE $'\e\\*b[1-9][0-9]*W' "$work/new.prn" &&
        ends_with $'\e*rB\f\eE'
}
for image in "jpeg jpg image/jpeg" "png png image/png"; do
    read -r kind ext mime <<<"$image"
    pdftoppm -r 20 -singlefile "-$kind" "$pdf" "$work/photo" >/dev/null 2>&1 || { echo "SKIP: $mime: no pdftoppm"; continue; }
    size_before=$(stat -c %s "$sink")
    check "a $mime photo is accepted" print_job "$work/photo.$ext" "$mime"
    check "... and reaches the printer as PCL: a reset, then raster rows" within 30 new_pcl
done

# A busy port: the job waits for the other client and prints once it has gone.
exec 3<>/dev/tcp/127.0.0.1/$dport
printf '\xe1\x50\xed\x5f\x00\x00\x00\x20\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >&3
head -c 32 <&3 >/dev/null  # INIT answered: the port is held
size_before=$(stat -c %s "$sink")
print_job "$work/page.pwg" image/pwg-raster 3<&- &  # answered once printed; not holding the port
check "a job finding the port busy waits and says so" \
    within 15 grep -q "tessal://127.0.0.1:$dport: another client is printing; the job waits its turn" "$log"
check "... printing nothing meanwhile" test "$(stat -c %s "$sink")" = "$size_before"
check "... with printer-state-reasons other" within 20 reason_is other
check "... and the job's message saying why" \
    within 10 job_says "another client is printing; the job waits its turn"
check "... while the printer still answers IPP at once" timeout 5 ipptool -q "$uri" get-printer-attributes.test
held_shown() {
    curl -s -m 20 "http://127.0.0.1:$aport/tessal" >"$work/held.html" &&
        grep -A1 'id="tessal-port"' "$work/held.html" | grep -q 'held by 127.0.0.1'
}
check "... and the tessal page shows who holds the port" within 20 held_shown
exec 3<&-
grew() { [ "$(stat -c %s "$sink")" -gt "$size_before" ] && ends_with $'\f\eE'; }
check "... and prints once the other client has gone" within 30 grew
check "... after which other is cleared" within 10 ours_gone

# The daemon gone: a job waits with the printer offline and prints once the daemon is back.
kill -TERM "$daemon"
wait "$daemon"
size_before=$(stat -c %s "$sink")
print_job "$work/page.pwg" image/pwg-raster &
check "with the daemon stopped a job waits, printer-state-reasons offline" within 20 reason_is offline
start_daemon
check "... and prints once the daemon is back" within 30 grew
check "... after which neither other nor offline remains" within 10 ours_gone

# A desktop's path: a cupsd queue made by `lpadmin -m everywhere` prints a PDF through the app.
cups=$work/cups
mkdir -p "$cups"/{spool,cache,state,log,tmp}
chmod 1777 "$cups/tmp"
. "$(dirname "$0")/../support/cupsd.sh"
private_cupsd_conf "$cups"
cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" >"$cups/log/cupsd.out" 2>&1 &
export CUPS_SERVER=$cups/cups.sock
check "cupsd runs" within 10 bash -c 'lpstat -r | grep -q "scheduler is running"'
check "lpadmin -m everywhere makes a queue on the app's URI" \
    lpadmin -p tessal -E -v "$uri" -m everywhere -o printer-error-policy=abort-job
size_before=$(stat -c %s "$sink")
lp -d tessal "$pdf" >/dev/null 2>&1
cups_done() { [ "$(lpstat -W completed -o tessal | wc -l)" -ge 1 ]; }
check "the PDF job completes in cupsd" within 60 cups_done
check "... and reaches the printer as PCL raster" within 30 grew

# A person's view: the tessal page in a real browser shows the model and the state, and PAPPL's
# "Print Test Page" button prints. Chromium is driven over its DevTools pipe (NUL-ended JSON on
# descriptors 3 and 4), which needs nothing but bash.
browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
    echo "SKIP: the browser checks: no chromium (apt-get install chromium)"
else
    mkfifo "$work/cdp.in" "$work/cdp.out"
    TMPDIR=$work "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$work/chromium" --remote-debugging-pipe about:blank \
        3<"$work/cdp.in" 4>"$work/cdp.out" >"$work/chromium.log" 2>&1 &
    chromium_pid=$!
    exec 5>"$work/cdp.in" 6<"$work/cdp.out"
    cdp_id=0
    # cdp METHOD PARAMS [SESSION]: the reply to one command, in $reply; false on an error or none.
    cdp() {
        cdp_id=$((cdp_id + 1))
        printf '{"id":%d,"method":"%s","params":%s%s}\0' "$cdp_id" "$1" "$2" "${3:+,\"sessionId\":\"$3\"}" >&5
        while IFS= read -r -d '' -t 30 -u 6 reply; do
            case $reply in *'"id":'"$cdp_id"','*) case $reply in *'"error"'*|*'exceptionDetails'*) return 1 ;; esac; return 0 ;; esac
        done
        return 1
    }
    # eval_page JS: the string a script's promise gives, asked again while the page still loads.
    eval_page() {
        local n
        for n in 1 2 3 4 5 6 7 8 9 10; do
            if cdp Runtime.evaluate "{\"expression\":\"$1\",\"awaitPromise\":true,\"returnByValue\":true}" "$session"; then
                value=$(printf %s "$reply" | sed -n 's/.*"value":"\([^"]*\)".*/\1/p')
                [ -n "$value" ] && return 0
            fi
            sleep 0.5
        done
        return 1
    }
    wait_for="const f=()=>{if(document.readyState!=='complete')return setTimeout(f,100);"
    cdp Target.createTarget "{\"url\":\"http://127.0.0.1:$aport/tessal\"}" &&
        target=$(printf %s "$reply" | sed -n 's/.*"targetId":"\([^"]*\)".*/\1/p') &&
        cdp Target.attachToTarget "{\"targetId\":\"$target\",\"flatten\":true}" &&
        session=$(printf %s "$reply" | sed -n 's/.*"sessionId":"\([^"]*\)".*/\1/p')
    check "Chromium opens the tessal page" test -n "${session:-}"
    shown() {
        eval_page "new Promise(r=>{$wait_for const m=document.getElementById('tessal-model'),s=document.getElementById('tessal-state');if(!m||!s)return setTimeout(f,100);r(m.textContent+'|'+s.textContent)};f()})" &&
            [ "$value" = "Tessaline MFP-1284 Sim|idle" ]
    }
    check "... which shows the model and the state" shown
    size_before=$(stat -c %s "$sink")
    clicked() {
        cdp Page.navigate "{\"url\":\"http://127.0.0.1:$aport/Tessaline_MFP-1284_Sim/\"}" "$session" &&
            eval_page "new Promise(r=>{$wait_for const b=[...document.querySelectorAll('input[type=submit]')].find(e=>e.value==='Print Test Page');if(!b)return setTimeout(f,100);b.click();r('clicked')};f()})"
    }
    check "the printer's page has a Print Test Page button, and it is pressed" clicked
    test_page() { [ "$(stat -c %s "$sink")" -gt "$size_before" ] && sink_has "tessal-printer-app test page: Tessaline MFP-1284 Sim"; }
    check "... and the test page prints" within 20 test_page
    exec 5>&- 6<&-
    kill "$chromium_pid" 2>/dev/null
    wait "$chromium_pid" 2>/dev/null
fi

if [ "$dnssd" = 1 ]; then
    found() { ippfind -T 3 _ipp._tcp 2>/dev/null | grep -q "/ipp/print/Tessaline_MFP-1284_Sim"; }
    check "ippfind finds the printer through Avahi" within 20 found
fi
stop_row

# 2. A PostScript printer, which pauses (paper out) after the first 100000 bytes for 7 s of the
# simulator's virtual clock: longer than a WRITE waits, so the job sees the printer stop.
start_row ps 'MFG:Acme;MDL:PS-1;CMD:POSTSCRIPT;CLS:PRINTER;' clock=virtual,fault=pause:7000@100000
check "PostScript: the app picks the PostScript driver" \
    within 15 grep -q 'driver tessal_ps from the command set POSTSCRIPT' "$log"
within 10 grep -q "added the printer 'Acme PS-1'" "$log"
within 5 attrs
check "... and lists application/postscript" \
    bash -c "grep -E '^ +document-format-supported' '$work/ps-attrs.txt' | grep -q application/postscript"
if [ "$dnssd" = 1 ]; then
    # Not the local daemon's port: only DNS-SD can have found it.
    listed() { "$app" devices 2>/dev/null | grep -qE "^tessal://(127.0.0.1|tessalhost.local):$dport\$"; }
    check "tessal-printer-app devices lists a daemon it finds by DNS-SD" within 10 listed
fi
print_job "$work/page.pwg" image/pwg-raster
ps_done() { starts_with '%!PS-Adobe-3.0' && sink_has '%%EOF'; }
check "a PWG raster page reaches the printer as a PostScript image" within 20 ps_done
check "... through a pause of the printer, which the log tells" \
    bash -c "grep -q 'the printer paused after [0-9]* bytes' '$log' && grep -q 'the printer takes data again' '$log'"
check "... one page, its image read as hex from the file" \
    bash -c "LC_ALL=C grep -qa '/ASCIIHexDecode filter' '$sink' && LC_ALL=C grep -qa '^%%Pages: 1$' '$sink'"
stop_row

# A colour PCL printer: an sRGB page goes as cyan, magenta and yellow planes.
start_row color 'MFG:Acme;MDL:Color L1;CMD:PJL,PCL5C;CLS:PRINTER;'
check "colour PCL: the app picks the colour driver" \
    within 15 grep -q 'driver tessal_pcl_color from the command set PJL,PCL5C' "$log"
within 10 grep -q "added the printer 'Acme Color L1'" "$log"
within 5 attrs
check "... which offers colour" bash -c "grep -E '^ +print-color-mode-supported' '$work/color-attrs.txt' | grep -q color"
print_job "$work/color.pwg" image/pwg-raster
color_page() { sink_has $'\e*r-3U' && LC_ALL=C grep -qaE $'\e\\*b[0-9]+V' "$sink" && ends_with $'\e*rB\f\eE'; }
check "... and an sRGB page reaches the printer as three planes per row" within 30 color_page
stop_row

# 3. A Device ID with no language we drive: reported, not guessed.
start_row unknown 'MFG:Acme;MDL:Odd-1;CMD:ESCPL2,BDC;CLS:PRINTER;'
check "an unknown command set is reported in the log" \
    within 15 grep -q 'names no printer language tessal-printer-app drives (command set ESCPL2,BDC;' "$log"
check "... no printer is added" bash -c "! grep -q 'added the printer' '$log'"
check "... and the tessal page says so" \
    bash -c "curl -s -m 10 http://127.0.0.1:$aport/tessal | grep -q 'id=\"tessal-unknown\"'"
check "... and the owner can add it by hand with a driver of their choosing" \
    "$app" add -d Odd -v "tessal://127.0.0.1:$dport" -m tessal_ps
uri=ipp://127.0.0.1:$aport/ipp/print/Odd
within 5 attrs
check "... which then takes PostScript" \
    bash -c "grep -E '^ +document-format-supported' '$work/unknown-attrs.txt' | grep -q application/postscript"
kill -TERM "$daemon"
wait "$daemon"
check "the tessal page says when the daemon is gone" \
    bash -c "curl -s -m 10 http://127.0.0.1:$aport/tessal | grep -q 'id=\"tessal-connection\">offline: cannot connect'"
stop_row

if [ "$failed" -gt 0 ]; then
    for f in "$work"/*-app.log; do echo "-- $f"; grep -v '^D ' "$f" | tail -15; done
    for f in "$work"/*-app.out; do echo "-- $f"; tail -20 "$f"; done
    for f in "$work"/*-tessal.log; do echo "-- $f"; tail -5 "$f"; done
    [ -f "$cups/log/error_log" ] && grep -E '\[Job [0-9]+\]' "$cups/log/error_log" | grep -v 'D \[' | tail -15
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
