#!/bin/sh
# Runs one step of a PE test program, ends the prefix's wineserver (and so every program in
# the prefix), and runs a second step; each step is one GoogleTest test, which must run.
#   across-server-restart.sh WINE_RUN PREFIX PROGRAM FIRST_TEST SECOND_TEST
set -e
run=$1
prefix=$2
program=$3

step() {
    out=$(sh "$run" "$prefix" "$program" --gtest_also_run_disabled_tests --gtest_filter="$1") || {
        echo "$out"
        exit 1
    }
    echo "$out"
    echo "$out" | grep -q '^\[  PASSED  \] 1 test' || { echo "step $1 did not run"; exit 1; }
}

step "$4"
sh "$run" --stop "$prefix"
step "$5"
