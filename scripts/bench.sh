#!/usr/bin/env bash
# Runs every benchmark of a build and writes docs/benchmarks.md: one table with each figure
# next to its target, pass or fail, and the machine and load it was taken on.
# Usage: scripts/bench.sh [build-dir]          (make bench: the normal build, build/)
#   BENCH_REPETITIONS  repetitions of each Google Benchmark program (default 3; the table
#                      shows the median and the spread)
#   BENCH_OUT          where the report goes (default docs/benchmarks.md)
#   BENCH_PE_BUILD     the x64 PE build tree for the Wine figures (default build-win64,
#                      configured and brought up to date by bench/wine/wine-bench.sh)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-build}
case "$build_dir" in
    /*) ;;
    *) build_dir="$PWD/$build_dir" ;;
esac
reps=${BENCH_REPETITIONS:-3}
out=${BENCH_OUT:-$root/docs/benchmarks.md}
jobs=$(nproc 2>/dev/null || echo 2)
programs=(download_bench transport_bench port_bench trace_bench)

if [ ! -f "$build_dir/build.ninja" ] && [ ! -f "$build_dir/Makefile" ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build_dir" --target "${programs[@]}" brelk-sim -j "$jobs"

raw=$(mktemp -d /tmp/brelk-bench-XXXXXX)
trap 'rm -rf "$raw"' EXIT
cut -d' ' -f1-3 /proc/loadavg >"$raw/load-before"
date -u '+%Y-%m-%d %H:%M UTC' >"$raw/date"

# A program that fails still leaves what it measured; the table says which figure is missing.
for p in "${programs[@]}"; do
    echo "== $p"
    (cd "$build_dir/bin" && "./$p" --benchmark_repetitions="$reps" \
        --benchmark_display_aggregates_only=true \
        --benchmark_out="$raw/$p.json" --benchmark_out_format=json 2>"$raw/$p.stderr") || {
        echo "$p exited with $?" | tee "$raw/$p.failed"
        tail -n 20 "$raw/$p.stderr"
    }
done
echo "== update-bench.sh"
bash "$root/bench/update/update-bench.sh" "$build_dir" | tee "$raw/update.txt" ||
    echo "update-bench.sh exited with $?" | tee "$raw/update.failed"
echo "== wine-bench.sh"
bash "$root/bench/wine/wine-bench.sh" "$build_dir" "${BENCH_PE_BUILD:-$root/build-win64}" |
    tee "$raw/wine.txt" || echo "wine-bench.sh exited with $?" | tee "$raw/wine.failed"
cut -d' ' -f1-3 /proc/loadavg >"$raw/load-after"

mkdir -p "$(dirname "$out")"
python3 "$root/scripts/bench-report.py" "$raw" "$build_dir" "$root" "$reps" "$out" >"$out.tmp"
mv "$out.tmp" "$out"
echo "== wrote $out"
echo "figures that miss their target: $(grep -c '\*\*FAIL\*\*' "$out" || true)"
