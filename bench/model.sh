#!/bin/bash
# The timing model (bench/timing_model.cpp): builds it and prints its table, in seconds.
# Usage: bench/model.sh                 the download control of this tree
#        bench/model.sh --before REV    the same model with download/download.cpp as it was at
#                                       the git revision REV (to compare a change with before)
# Extra arguments go to the model (--seconds S: line time per data set, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KM_JOBS:-2}
if [ "${1:-}" = "--before" ]; then
    rev=${2:?"--before needs a git revision"}
    shift 2
    dir=build/model-before
    mkdir -p "$dir"
    git show "$rev:download/download.cpp" >"$dir/download_before.cpp"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DKM_MODEL_DOWNLOAD_CPP="$PWD/$dir/download_before.cpp" >/dev/null
    echo "(download/download.cpp as at $(git rev-parse --short "$rev"))"
else
    dir=build/bench-host
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKM_MODEL_DOWNLOAD_CPP= >/dev/null
fi
cmake --build "$dir" -j"$jobs" --target timing_model >/dev/null
"$dir/timing_model" "$@"
