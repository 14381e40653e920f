#!/usr/bin/env bash
# Demo: for now a smoke run of the platform layer (module load, thread, wait, debugger
# output); the simulated firmware update takes its place later.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail

build_dir=${1:-build}
if [ ! -f "$build_dir/build.ninja" ] && [ ! -f "$build_dir/Makefile" ]; then
    cmake -S "$(dirname "$0")/.." -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build_dir" --target winplat-smoke
WINPLAT_TIME_SCALE=${WINPLAT_TIME_SCALE:-50} "$build_dir/bin/winplat-smoke"
