#!/bin/bash
# Runs every test: host unit tests, the same under ASan/UBSan, the Windows cross build (and
# the same with clang), the exe's imports against the oldest Windows it claims, the release
# built twice for identical bytes, and the Wine tests of the real program. Installs missing
# packages first (as root).
# Usage: scripts/test.sh            (everything)
#        KM_SKIP_WINE=1 scripts/test.sh   (host only)
#        KM_SKIP_RELEASE=1 scripts/test.sh   (without the two release builds)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KM_JOBS:-2}

step() { printf '\n=== %s\n' "$*"; }
fail() { printf '\ntest.sh: FAILED: %s\n' "$*" >&2; exit 1; }

step "packages"
flavours="host"
[ "${KM_SKIP_WINE:-0}" = 1 ] || flavours="$flavours wine winclang release"
scripts/deps.sh $flavours || fail "could not install the packages ($flavours)"

step "host build (logic + simulated platform + tests, warnings as errors)"
cmake --preset host -DKM_WERROR=ON >/dev/null || fail "host configure"
cmake --build build/host -j"$jobs" || fail "host build"

step "host unit tests"
ctest --test-dir build/host --output-on-failure -j"$jobs" || fail "host unit tests"

step "km740cap natively: command lines, the station and the Linux side over pty pairs (two rows wait out 30 s)"
KM_HOST_BUILD="$PWD/build/host" /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/cap ||
    fail "km740cap native tests"

step "km740cap natively: a short station soak (200 data sets, one hang-up; fails on a lost data set or a false file)"
bench/cap_bench.py --native-only --sets 200 --hangup-every 100 --build build/host || fail "km740cap station soak"

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

step "Windows build with clang and lld (the second compiler, warnings as errors)"
cmake --preset windows-clang -DKM_WERROR=ON >/dev/null || fail "windows-clang configure"
cmake --build build/windows-clang -j"$jobs" --target km740tool || fail "windows-clang build"

# Debian's python3 has pytest (python3-pytest); another python3 on PATH may not.
step "the oldest Windows: every import of km740tool.exe and km740cap.exe is in tests/release/windows_imports.csv"
KM_EXE="$PWD/build/windows/km740tool.exe" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
    tests/release/test_exe.py || fail "imports against the oldest Windows claimed"

if [ "${KM_SKIP_RELEASE:-0}" = 1 ]; then
    echo "test.sh: release check skipped (KM_SKIP_RELEASE=1)"
else
    step "release: scripts/release.sh on two clones of HEAD gives the same bytes"
    tests/release/reproducible.sh || fail "release reproducibility"
fi

step "Wine tests of the real program"
KM_E2E_REQUIRE=1 KM_WIN_BUILD="$PWD/build/windows" DEVSIM="$PWD/build/host/devsim" tests/e2e/run.sh || fail "Wine tests"
