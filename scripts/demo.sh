#!/usr/bin/env bash
# Demo: a whole firmware update on a fresh simulated machine, then a second start that
# finds the firmware current. The driver keeps its real pauses (3 x 3 s "EXEC", 10 s
# before the final command); the time scale makes them short.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail

build_dir=${1:-build}
if [ ! -f "$build_dir/build.ninja" ] && [ ! -f "$build_dir/Makefile" ]; then
    cmake -S "$(dirname "$0")/.." -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build_dir" --target brelk-sim
sim="$build_dir/bin/brelk-sim"
scale=${DEMO_TIME_SCALE:-100}

machine=$(mktemp -d /tmp/brelk-demo-XXXXXX)
trap 'rm -rf "$machine"' EXIT

echo "== A fresh machine: the modem runs 1.0.0, the image on drive C: holds 2.0.0"
"$sim" image --machine "$machine" -v "QB4410 FW 1:2.0.0 2024-05-01" \
    bootcode:2:16k modem:4:2m userdata:5:512k
echo
echo "== First start of the modem's device node: the driver updates the modem"
"$sim" update --machine "$machine" --modem-version 1.0.0 --time-scale "$scale" \
    --trace "$machine/update.log"
echo
echo "== The story in the driver's trace, errors only"
"$sim" trace --level 2 "$machine/update.log"
echo
echo "== Second start: the firmware is current, nothing is downloaded"
"$sim" update --machine "$machine" --time-scale "$scale"
echo
echo "== The persisted state"
"$sim" state "$machine" show
