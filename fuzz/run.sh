#!/bin/bash
# Builds the fuzz preset and runs each fuzz target for SECONDS (default 60) from its seed corpus.
#
#   fuzz/run.sh [SECONDS]
#
# One line per target with the executions it did; exit status 1 when any target found a crash,
# a leak, a time-out or a broken invariant (the input is kept under build-fuzz/fuzz/artifacts/
# and the end of the target's log is shown). New inputs go to build-fuzz/fuzz/work/TARGET, so the
# seeds in fuzz/corpus stay as committed; to keep a finding, copy it into fuzz/corpus/TARGET.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    echo "fuzz: needs clang++ and the libFuzzer runtime (Debian: apt-get install clang libclang-rt-14-dev)"
    exit 1
fi
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! { cmake --preset fuzz && cmake --build --preset fuzz; } >"$build_log" 2>&1; then
    cat "$build_log"
    echo "fuzz: the fuzz preset did not build"
    exit 1
fi

out=build-fuzz/fuzz
targets="fuzz_requests fuzz_sim_config fuzz_ecp_read"
# The targets run side by side: each is one process, and the run takes SECONDS, not three times
# that, on a machine with more than one core.
fuzz_one() {
    local target=$1 work=$out/work/$1
    mkdir -p "$work" "$out/artifacts"
    # -close_fd_mask=3: the code under test prints an error line for every bad request; libFuzzer
    # and the sanitizers keep their own copy of standard error for what they report.
    "$out/$target" "$work" "fuzz/corpus/$target" \
        -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=10 -max_len=8192 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" \
        >"$out/$target.log" 2>&1
}
declare -A pids
for target in $targets; do
    fuzz_one "$target" &
    pids[$target]=$!
done

status=0
for target in $targets; do
    log=$out/$target.log
    if wait "${pids[$target]}"; then
        result=ok
    else
        result=FAILED
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    corpus=$(ls "$out/work/$target" | wc -l)
    echo "fuzz: $target: $result, ${execs:-0} executions in $seconds s, $corpus inputs in its working corpus"
    if [ "$result" != ok ]; then
        tail -n 40 "$log"
    fi
done
exit $status
