#!/bin/bash
# Runs the host unit tests once under valgrind's memcheck: any invalid access, use of an
# uninitialised value, or definitely or indirectly lost block fails the run.
# Usage: scripts/valgrind.sh [gtest filter, default: every test]
set -uo pipefail
cd "$(dirname "$0")/.."
filter=${1:-*}
jobs=${KM_JOBS:-2}

scripts/deps.sh host valgrind || { echo "valgrind.sh: could not install valgrind" >&2; exit 1; }
if [ ! -x build/host/unit_tests ]; then
    cmake --preset host -DKM_WERROR=ON >/dev/null || exit 1
    cmake --build build/host -j"$jobs" --target unit_tests || exit 1
fi

log=build/host/valgrind.log
started=$(date +%s)
valgrind --leak-check=full --error-exitcode=1 --errors-for-leak-kinds=definite,indirect \
    --track-origins=yes --log-file="$log" \
    build/host/unit_tests --gtest_filter="$filter" --gtest_brief=1 >"$log.tests" 2>&1
status=$?
grep -E '^\[  (FAILED|PASSED) |tests from .* ran' "$log.tests"
elapsed=$(( $(date +%s) - started ))

sed -n '/HEAP SUMMARY/,$p' "$log" | sed 's/^==[0-9]*== //'
echo "valgrind.sh: unit tests under memcheck took ${elapsed}s, exit $status (log $log)"
if [ "$status" -ne 0 ]; then
    # Exit 1 comes from memcheck's errors or from a failing test; say which.
    grep -E 'Invalid|uninitialised|Conditional jump|definitely lost in|indirectly lost in' "$log" | head -20
    grep -E -B3 '^\[  FAILED  \]' "$log.tests" | head -40
    echo "valgrind.sh: FAILED" >&2
fi
exit "$status"
