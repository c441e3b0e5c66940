#!/bin/bash
# The main job: build the program and the device simulator, then run one whole download
# under Wine (virtual COM port, Start pressed, sample data set sent) and print the CSV file.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KM_JOBS:-2}
echo "=== packages"
scripts/deps.sh host wine
echo "=== building devsim (host) and km740tool.exe (MinGW-w64)"
cmake --preset host >/dev/null
cmake --build build/host -j"$jobs" --target devsim
cmake --preset windows >/dev/null
cmake --build build/windows -j"$jobs" --target km740tool uidriver portcheck
echo "=== the download"
exec python3 scripts/demo.py "$@"
