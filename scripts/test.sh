#!/bin/bash
# Runs every test: host unit tests, the same under ASan/UBSan, the Windows cross build,
# and the Wine tests of the real program. Installs missing packages first (as root).
# Usage: scripts/test.sh            (everything)
#        KM_SKIP_WINE=1 scripts/test.sh   (host only)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KM_JOBS:-2}

step() { printf '\n=== %s\n' "$*"; }
fail() { printf '\ntest.sh: FAILED: %s\n' "$*" >&2; exit 1; }

step "packages"
flavours="host"
[ "${KM_SKIP_WINE:-0}" = 1 ] || flavours="$flavours wine"
scripts/deps.sh $flavours || fail "could not install the packages ($flavours)"

step "host build (logic + simulated platform + tests, warnings as errors)"
cmake --preset host -DKM_WERROR=ON >/dev/null || fail "host configure"
cmake --build build/host -j"$jobs" || fail "host build"

step "host unit tests"
ctest --test-dir build/host --output-on-failure -j"$jobs" || fail "host unit tests"

if [ "${KM_SKIP_VALGRIND:-0}" = 1 ]; then
    echo "test.sh: valgrind skipped (KM_SKIP_VALGRIND=1)"
else
    step "host unit tests under valgrind memcheck"
    scripts/valgrind.sh || fail "valgrind"
fi

step "host unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset host-asan -DKM_WERROR=ON >/dev/null || fail "host-asan configure"
cmake --build build/host-asan -j"$jobs" --target unit_tests || fail "host-asan build"
ctest --test-dir build/host-asan --output-on-failure -j"$jobs" || fail "host-asan unit tests"

if [ "${KM_SKIP_FUZZ:-0}" = 1 ]; then
    echo "test.sh: fuzzing skipped (KM_SKIP_FUZZ=1)"
else
    step "fuzz targets, ${KM_FUZZ_SECONDS:-60} s each"
    scripts/fuzz.sh "${KM_FUZZ_SECONDS:-60}" || fail "fuzzing"
fi

if [ "${KM_SKIP_WINE:-0}" = 1 ]; then
    echo "test.sh: Wine tests skipped (KM_SKIP_WINE=1)"
    exit 0
fi

step "Windows build (MinGW-w64, static)"
cmake --preset windows -DKM_WERROR=ON >/dev/null || fail "windows configure"
cmake --build build/windows -j"$jobs" || fail "windows build"

step "Wine tests of the real program"
KM_E2E_REQUIRE=1 KM_WIN_BUILD="$PWD/build/windows" DEVSIM="$PWD/build/host/devsim" tests/e2e/run.sh || fail "Wine tests"
