#!/usr/bin/env bash
# make bench: the in-process link figures, then the whole-daemon figures side by side with their
# baselines; prints the table and leaves results.csv, table.md and throughput.png in bench/out/.
#   bench/run.sh [BUILD_DIR]     (default: build, the default preset's directory)
#   BENCH_QUICK=1 bench/run.sh   a few seconds' smoke run of the driver itself, not figures to quote
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=$root/bench/out
mkdir -p "$out"
rm -f "$out"/*.log
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

quick=()
link_opts=()
if [[ -n "${BENCH_QUICK:-}" ]]; then
  quick=(--quick)
  link_opts=(--benchmark_filter=/65536/ --software-bytes=2000)
fi

echo "== in-process link figures (Google Benchmark, simulator on a virtual clock)" >&2
"$build/bench/tessal_link_bench" --rows="$out/link.csv" "${link_opts[@]}" >&2

echo "== whole-daemon figures" >&2
"$build/bench/tessal_bench" --daemon="$build/service/tessal" --out="$out" --rows="$out/link.csv" "${quick[@]}"

# The plot needs gnuplot; root may fetch it, anyone else is told how.
if ! command -v gnuplot >/dev/null && [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
  echo "== installing gnuplot-nox for the plot" >&2
  apt-get install -y -qq gnuplot-nox >/dev/null 2>&1 ||
    { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq gnuplot-nox >/dev/null 2>&1; } || true
fi
if command -v gnuplot >/dev/null; then
  gnuplot -e "datafile='$out/throughput.dat'; outfile='$out/throughput.png'" "$root/bench/throughput.gp"
  echo "plot: $out/throughput.png" >&2
else
  echo "plot skipped: gnuplot is not installed (apt-get install gnuplot-nox); the data is in $out/throughput.dat" >&2
fi

# The machine the figures came from, for the README's Performance section.
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores of $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')."
  echo "Load average (1, 5, 15 min) at the start: $load_start; at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
  echo "Each row's load column is the 1-minute load when its figure was taken; a row whose load is"
  echo "above the core count shares its cores with other work."
  echo
  cat "$out/table.md"
} >"$out/performance.md"
echo "results: $out/results.csv, $out/performance.md" >&2
