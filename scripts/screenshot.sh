#!/bin/bash
# Builds the Windows programs, runs km740tool.exe under a private Wine bed with one virtual
# COM port and writes the laid-out window to docs/window.png (or to the path given).
# Usage: scripts/screenshot.sh [out.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/window.png}

scripts/deps.sh wine host
cmake --preset windows -DKM_WERROR=ON >/dev/null
# The program itself, the driver that finds its window, and portcheck, which hides the
# host's own serial ports from the bed.
cmake --build build/windows -j"${KM_JOBS:-2}" --target km740tool uidriver portcheck

mkdir -p "$(dirname "$out")"
/usr/bin/python3 tests/e2e/shoot.py build/windows "$out"
