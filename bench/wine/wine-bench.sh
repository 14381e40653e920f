#!/usr/bin/env bash
# Wine against our layer, the same work on each in one run, interleaved so that both see
# the same load:
#   - the write path's rate: write_path_bench of the Linux build, and the same source's PE
#     build under Wine, in rounds (layer, then Wine);
#   - whole updates: brelk-sim update on a fresh machine, and brelk-sim update --wine on a
#     fresh Wine machine, with the same image, modem version and time scale, in pairs
#     whose order alternates. The Wine machine's prefix is copied from a template before
#     the clock starts (not counted); its wineserver starts within the timed run (counted:
#     every update under Wine pays it) and is ended after it (not counted);
#   - what Wine's start alone costs in a fresh prefix: a program that exits at once.
# Lines are key=value, for scripts/bench-report.py; a line "wine-bench not-measured=..."
# says why there are no Wine figures.
# Usage: bench/wine/wine-bench.sh [build-dir] [pe-build-dir]
#   WINE_BENCH_ROUNDS   rounds of write_path_bench on each system (default 3)
#   WINE_BENCH_RUNS     update pairs at each time scale (default 3)
#   WINE_BENCH_SCALES   time scales of the update pairs (default "100 10")
#   BRELK_WINE_TEMPLATE a Wine prefix to copy; without one a template is made here once
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=${1:-$root/build}
pe_dir=${2:-$root/build-win64}
rounds=${WINE_BENCH_ROUNDS:-3}
runs=${WINE_BENCH_RUNS:-3}
scales=${WINE_BENCH_SCALES:-"100 10"}
wine_run="$root/windows/wine-run.sh"
jobs=$(nproc 2>/dev/null || echo 2)

work=$(mktemp -d /tmp/brelk-wine-bench-XXXXXX)
sim="$build_dir/bin/brelk-sim"
machines=()  # Wine machines whose server must end before their folder goes
cleanup() {
    for m in "${machines[@]}"; do
        [ -d "$m" ] && "$sim" wine "$m" stop || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

not_measured() {
    echo "wine-bench not-measured=\"$*\""
    exit 0
}

load() { cut -d' ' -f1 /proc/loadavg; }

cmake --build "$build_dir" --target brelk-sim write_path_bench -j "$jobs" >/dev/null

# The PE side is built here rather than left out when missing: its figures compare the
# same sources only when both builds are current. Only what the runs need is built (the
# host and the harness, not the suites and their GoogleTest).
if [ ! -f "$pe_dir/build.ninja" ]; then
    if [ "$pe_dir" != "$root/build-win64" ]; then
        not_measured "no PE build in $pe_dir"
    fi
    make -C "$root" build-win64/build.ninja >"$work/pe-configure.log" 2>&1 ||
        not_measured "the PE build could not be configured (make windows)"
fi
cmake --build "$pe_dir" --target brelk-driverhost write_path_bench -j "$jobs" \
    >"$work/pe-build.log" 2>&1 || {
    tail -n 20 "$work/pe-build.log" >&2
    not_measured "the PE build of the host and write_path_bench failed"
}
[ -x "${BRELK_WINE64:-/usr/lib/wine/wine64}" ] || not_measured "no 64-bit Wine"
export BRELK_PE_BIN="$pe_dir/bin"

# Each Wine machine's prefix is a copy of one template, made by brelk-sim as for any new
# machine, before the clock starts.
new_wine_machine() {  # new_wine_machine FOLDER
    machines+=("$1")
    BRELK_WINE_TEMPLATE="$template" "$sim" wine "$1" create >/dev/null
}

template=${BRELK_WINE_TEMPLATE:-}
if [ -z "$template" ] || [ ! -f "$template/system.reg" ]; then
    start=$(date +%s.%N)
    machines+=("$work/template")
    (unset BRELK_WINE_TEMPLATE && "$sim" wine "$work/template" create >/dev/null 2>&1) ||
        not_measured "wineboot failed"
    "$sim" wine "$work/template" stop
    template="$work/template/wineprefix"
    printf 'wine-bench template=created seconds=%.1f\n' "$(echo "$(date +%s.%N) - $start" | bc -l)"
else
    echo "wine-bench template=$template"
fi

echo "wine-bench load=$(load) pe_build=$pe_dir"

# The write path: each round runs the harness on our layer, then under Wine.
new_wine_machine "$work/write"
write_prefix="$work/write/wineprefix"
for ((round = 1; round <= rounds; round++)); do
    echo "write-path round=$round system=layer load=$(load)"
    (cd "$build_dir/bin" && ./write_path_bench --repetitions 3) |
        sed "s/^write_path /write_path system=layer round=$round /" ||
        echo "write_path system=layer round=$round error=\"exited with an error\""
    echo "write-path round=$round system=wine load=$(load)"
    (cd "$pe_dir/bin" && sh "$wine_run" "$write_prefix" ./write_path_bench.exe --repetitions 3) |
        tr -d '\r' | sed "s/^write_path /write_path system=wine round=$round /" ||
        echo "write_path system=wine round=$round error=\"exited with an error\""
done
"$sim" wine "$work/write" stop

# Whole updates of a 4 MiB image (two downloaded items of 2 MiB) from 1.0.0 to 2.0.0.
image="$work/bench.fls"
"$sim" image -o "$image" -v "BENCH 1:2.0.0" boot:2:64k part0:4:2m part1:4:2m >/dev/null
mib=4

value() {  # value REPORT KEY
    sed -n "s/^$2=//p" "$1" 2>/dev/null
}

update() {  # update SYSTEM SCALE RUN
    local system=$1 scale=$2 run=$3 machine="$work/$1-$2-$3" wine=()
    mkdir -p "$machine"
    if [ "$system" = wine ]; then
        wine=(--wine)
        new_wine_machine "$machine"
    fi
    local before start end
    before=$(load)
    start=$(date +%s.%N)
    "$sim" update "${wine[@]}" --machine "$machine" --image "$image" --modem-version 1.0.0 \
        --time-scale "$scale" --no-progress --report "$machine.report" >/dev/null 2>&1 ||
        true  # a failed update is a figure too
    end=$(date +%s.%N)
    if [ "$system" = wine ]; then
        "$sim" wine "$machine" stop
    fi
    local r="$machine.report"
    printf 'update system=%s scale=%d run=%d mib=%d wall=%.3f run_ms=%s bytes_done=%s state=%s modem=%s load=%s\n' \
        "$system" "$scale" "$run" "$mib" "$(echo "$end - $start" | bc -l)" "$(value "$r" run_ms)" \
        "$(value "$r" bytes_done)" "$(value "$r" state_after)" "$(value "$r" modem_after)" "$before"
    rm -rf "$machine" "$machine.report"
}

for scale in $scales; do
    for ((run = 1; run <= runs; run++)); do
        if ((run % 2)); then
            update layer "$scale" "$run"
            update wine "$scale" "$run"
        else
            update wine "$scale" "$run"
            update layer "$scale" "$run"
        fi
    done
done
# What a Wine machine's first program pays before its own code runs: Wine's start in a
# fresh prefix (its wineserver and services), with a program that exits at once.
for ((run = 1; run <= runs; run++)); do
    machine="$work/start-$run"
    new_wine_machine "$machine"
    before=$(load)
    start=$(date +%s.%N)
    sh "$wine_run" "$machine/wineprefix" "$pe_dir/bin/write_path_bench.exe" --help \
        >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    "$sim" wine "$machine" stop
    printf 'wine-start run=%d wall=%.3f load=%s\n' "$run" "$(echo "$end - $start" | bc -l)" "$before"
    rm -rf "$machine"
done
echo "wine-bench load=$(load)"
