#!/bin/bash
# The timing model (bench/timing_model.cpp): builds it and prints its table, in seconds.
# Usage: bench/model.sh                 the download control of this tree
#        bench/model.sh --before REV    the same model with the download control as it was at
#                                       the git revision REV (to compare a change with before):
#                                       download/download.cpp and ui/download_window.cpp
#                                       (REV from 8dbc036 on, where the two were separated)
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
    # Before the rules were separated from the dialog (8dbc036), download.cpp held the
    # dialog's part and output_file.cpp made the file from the window's list: those trees
    # are modelled by a checkout of their own.
    if ! git cat-file -e "$rev:ui/download_window.cpp" 2>/dev/null; then
        echo "model.sh: $rev has no ui/download_window.cpp; run bench/model.sh in a checkout" \
            "of it (git worktree add)" >&2
        exit 2
    fi
    git show "$rev:ui/download_window.cpp" >"$dir/download_window_before.cpp"
    window="$PWD/$dir/download_window_before.cpp"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DKM_MODEL_DOWNLOAD_CPP="$PWD/$dir/download_before.cpp" -DKM_MODEL_WINDOW_CPP="$window" >/dev/null
    echo "(the download control as at $(git rev-parse --short "$rev"): download/download.cpp, ui/download_window.cpp)"
else
    dir=build/bench-host
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKM_MODEL_DOWNLOAD_CPP= -DKM_MODEL_WINDOW_CPP= >/dev/null
fi
cmake --build "$dir" -j"$jobs" --target timing_model >/dev/null
"$dir/timing_model" "$@"
