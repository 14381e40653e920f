#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang, build-fuzz) and runs each of them.
#   scripts/fuzz.sh short   a few seconds per target (part of make test)
#   scripts/fuzz.sh long    minutes per target (make fuzz)
# FUZZ_SECONDS overrides the time per target, FUZZ_JOBS how many run at once (default:
# the number of cores), FUZZ_TARGETS which ones (names without the fuzz_ prefix).
# Each target starts from its seeds, regenerated every run, and from the corpus it grew
# in earlier runs (build-fuzz/fuzz-corpus). An input that breaks a target is kept in
# build-fuzz/fuzz-artifacts/<target>/; replay it with build-fuzz/bin/fuzz_<target> <file>.
set -euo pipefail

mode=${1:-short}
case "$mode" in
    short) seconds=${FUZZ_SECONDS:-6} ;;
    long) seconds=${FUZZ_SECONDS:-300} ;;
    *)
        echo "usage: $0 short|long" >&2
        exit 2
        ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}
targets=${FUZZ_TARGETS:-"image_version device_key exec_write receive_path copy_byte_array image_container"}

if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBRELK_FUZZ=ON >/dev/null
fi
cmake --build "$build" --target fuzzers -j "$jobs"

seeds="$build/fuzz-seeds"
rm -rf "$seeds"
"$build/bin/brelk-fuzz-seeds" "$seeds"
logs="$build/fuzz-logs"
mkdir -p "$logs"

run_one() {
    local t=$1
    local corpus="$build/fuzz-corpus/$t" artifacts="$build/fuzz-artifacts/$t"
    mkdir -p "$corpus" "$artifacts"
    # Standard output is closed: the receive path prints a line on every short read.
    "$build/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" "$seeds/fuzz_$t" >"$logs/$t.log" 2>&1
}

echo "== fuzzing $mode: ${seconds}s per target, $jobs at a time"
pids=()
names=()
for t in $targets; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        sleep 0.2
    done
    run_one "$t" &
    pids+=($!)
    names+=("$t")
done

failed=0
printf '%-18s %12s %10s %8s  %s\n' target runs exec/s corpus result
for i in "${!pids[@]}"; do
    t=${names[$i]}
    status=ok
    if ! wait "${pids[$i]}"; then
        status=FAILED
        failed=1
    fi
    log="$logs/$t.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    units=$(find "$build/fuzz-corpus/$t" -type f | wc -l)
    printf '%-18s %12s %10s %8s  %s\n' "$t" "${runs:-?}" "${rate:-?}" "$units" "$status"
done

if [ "$failed" -ne 0 ]; then
    for t in "${names[@]}"; do
        if ls "$build/fuzz-artifacts/$t"/* >/dev/null 2>&1 || grep -q 'ERROR\|fuzz check failed' "$logs/$t.log"; then
            echo
            echo "== $t ($logs/$t.log)"
            grep -E 'fuzz check failed|ERROR|SUMMARY|Test unit written|refused|accepted|version "' \
                "$logs/$t.log" | head -20
        fi
    done
    exit 1
fi
