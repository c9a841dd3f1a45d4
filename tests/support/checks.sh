# Sourced by the shell tests: a PASS or FAIL line per check, counted in $passed and $failed.
passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() {  # NAME COMMAND...
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
within() {  # SECONDS COMMAND...: true once COMMAND succeeds, trying every 0.1 s
    local end=$((SECONDS + $1))
    shift
    until "$@" 2>/dev/null; do
        [ "$SECONDS" -ge "$end" ] && return 1
        sleep 0.1
    done
}
