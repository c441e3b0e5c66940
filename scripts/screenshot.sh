#!/bin/bash
# Builds the Windows programs, runs km740tool.exe under a private Wine bed with one virtual
# COM port and writes the laid-out window to docs/window.png, at 150% (144 DPI) to
# docs/window-150.png and, on a Japanese Windows (code page 932) with examples/message-ja.csv,
# to docs/window-ja.png; or only the one picture named, at the DPI given (96 by default),
# in Japanese with "ja". Usage: scripts/screenshot.sh [out.png [dpi [ja]]]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh wine host
cmake --preset windows -DKM_WERROR=ON >/dev/null
# The program itself, the driver that finds its window, and portcheck, which hides the
# host's own serial ports from the bed.
cmake --build build/windows -j"${KM_JOBS:-2}" --target km740tool uidriver portcheck

if [ $# -ge 1 ]; then
    mkdir -p "$(dirname "$1")"
    /usr/bin/python3 tests/e2e/shoot.py build/windows "$1" "${2:-96}" ${3:+"$3"}
else
    /usr/bin/python3 tests/e2e/shoot.py build/windows docs/window.png 96
    /usr/bin/python3 tests/e2e/shoot.py build/windows docs/window-150.png 144
    /usr/bin/python3 tests/e2e/shoot.py build/windows docs/window-ja.png 96 ja
fi
