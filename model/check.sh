#!/bin/bash
# Exhaustive checks of policy.pml for one retry limit: every property in each option set
# that it is stated for, compared with the expected result. A result that differs fails.
# For a property that does not hold, spin's shortest counterexample is searched (-i) and
# its starts are printed; with TRAILS=DIR its printout is kept there for the replay.
#   model/check.sh LIMIT [WORKDIR]
set -euo pipefail
limit=$1
here=$(cd "$(dirname "$0")" && pwd)
work=${2:-$(mktemp -d)}
mkdir -p "$work"
cd "$work"
cp "$here/policy.pml" .
fails=0

# name, options, expected (holds | violated)
expect() {
    local name=$1 opts=$2 want=$3 flags=-DSAFETY run=""
    case $opts in *PROP=7*) flags="" run="-a" ;; esac
    spin -a $opts -DLIMIT="$limit" policy.pml >/dev/null
    cc -O0 $flags -w -o pan pan.c
    local out got
    out=$(./pan -m200000 $run 2>&1)
    if grep -q 'errors: 0' <<<"$out"; then got=holds; else got=violated; fi
    local states
    states=$(grep -o '[0-9]* states, stored' <<<"$out" | head -1)
    local extra=""
    if [ "$got" = violated ] && [ -z "$run" ]; then
        # The shortest counterexample.
        cc -O0 $flags -DREACH -w -o pan pan.c
        ./pan -m200000 -i >/dev/null 2>&1 || true
        local trail
        trail=$(spin -t $opts -DLIMIT="$limit" policy.pml 2>/dev/null | grep -E '^ *(START|WRITE|FAIL|DOWNLOAD|OUTCOME|NOTAKE|KILL|LOST|END)' | sed 's/^ *//')
        extra=" shortest: $(grep -c START <<<"$trail") starts"
        if [ -n "${TRAILS:-}" ]; then
            mkdir -p "$TRAILS"
            printf '%s\n' "$trail" >"$TRAILS/limit$limit-$name.trail.txt"
        fi
        extra="$extra: $(tr '\n' ' ' <<<"$trail" | sed 's/  */ /g')"
    fi
    local mark=ok
    if [ "$got" != "$want" ]; then mark=UNEXPECTED; fails=$((fails + 1)); fi
    echo "[$mark] limit $limit $name ($opts): $got, $states$extra"
}

ge() { [ "$limit" -ge "$1" ] && echo "$2" || echo "$3"; }

expect bound          "-DPROP=1"                   "$(ge 0 holds violated)"
expect bound-varying  "-DPROP=1 -DVARY=1"          "$(ge 0 holds violated)"
expect bound-lose1    "-DPROP=1 -DLOSE=1"          "$(ge 0 holds violated)"
expect bound-lose2    "-DPROP=1 -DLOSE=2"          violated
expect bound-first-attempt "-DPROP=8 -DVARY=1 -DLOSE=1" holds
expect counted        "-DPROP=2"                   holds
expect counted-varying "-DPROP=2 -DVARY=1"         holds
expect counted-lose1  "-DPROP=2 -DLOSE=1"          "$(ge 1 violated holds)"
expect counter        "-DPROP=3 -DVARY=1"          holds
expect counter-lose2  "-DPROP=3 -DLOSE=2"          holds
expect current-no-counter "-DPROP=4"               "$(ge 1 violated holds)"
expect current-after-success "-DPROP=5 -DVARY=1"   holds
expect not-taken      "-DPROP=6 -DNOTAKE=1"        violated
expect settles        "-DPROP=7 -DALLFAIL=1"       holds
expect settles-varying "-DPROP=7 -DALLFAIL=1 -DVARY=1" holds
expect settles-lose2  "-DPROP=7 -DALLFAIL=1 -DLOSE=2" holds
exit $fails
