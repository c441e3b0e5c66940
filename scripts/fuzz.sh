#!/bin/bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a bounded time on a copy
# of its seed corpus, so the repository is never written. One figure line per target; exits
# non-zero when any target crashed or broke an invariant.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target names...]
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
jobs=${KM_JOBS:-2}

scripts/deps.sh host fuzz || { echo "fuzz.sh: could not install clang and libFuzzer" >&2; exit 1; }

# Optimised with debug info: the sanitizers stay on, and a run gets through far more inputs.
cmake --preset fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || { echo "fuzz.sh: configure failed" >&2; exit 1; }
if [ $# -gt 0 ]; then
    targets="$*"
else
    targets=$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi
# shellcheck disable=SC2086  # one word per target
cmake --build build/fuzz -j"$jobs" --target $targets || { echo "fuzz.sh: build failed" >&2; exit 1; }

failed=0
summary=""
for target in $targets; do
    work=build/fuzz/corpus/$target
    artifacts=build/fuzz/artifacts/$target
    log=build/fuzz/$target.log
    rm -rf "$artifacts"
    mkdir -p "$work" "$artifacts"
    [ -d "tests/fuzz/corpus/$target" ] && cp -n tests/fuzz/corpus/"$target"/* "$work"/ 2>/dev/null
    printf '\n=== fuzzing %s for %s s\n' "$target" "$seconds"
    started=$(date +%s)
    # Download scripts past 1 KB mostly repeat time-outs and name searches, at a third of
    # the speed; the cap keeps the target above 3,000 executions a second.
    extra=""
    [ "$target" = fuzz_download ] && extra="-max_len=1024"
    # A station script's cost grows with its data sets (each name search opens up to 198
    # files): 512 bytes already make hundreds of data sets and long lines.
    [ "$target" = fuzz_station ] && extra="-max_len=512"
    # shellcheck disable=SC2086  # no option or one
    build/fuzz/"$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 $extra \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" >"$log" 2>&1
    status=$?
    elapsed=$(( $(date +%s) - started ))
    # The last status line carries the coverage; the final stats the executions.
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    units=$(find "$work" -type f | wc -l)
    crashes=$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
    line=$(printf '%-14s execs %s  exec/s %s  cov %s  ft %s  corpus %s  crashes %s  time %ss  exit %s' \
        "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "$units" "$crashes" "$elapsed" "$status")
    echo "$line"
    summary="$summary$line"$'\n'
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        failed=1
        grep -E 'invariant failed|ERROR: |SUMMARY: |Test unit written' "$log" | head -5
        echo "fuzz.sh: $target failed; log $log, reproduce with: build/fuzz/$target <crash file>"
    fi
done

printf '\n=== fuzz figures (%s s per target)\n%s' "$seconds" "$summary"
exit "$failed"
