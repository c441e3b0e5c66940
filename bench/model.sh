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
    # An older file is brought to today's headers (the program-wide records moved to
    # records/; the finish step lost its result, which was always 1). Its logic is untouched.
    python3 - "$dir/download_before.cpp" <<'PY'
import re, sys
path = sys.argv[1]
text = open(path).read()
text = re.sub(r'"app/(ids|settings|messages|status|shared)\.h"', r'"records/\1.h"', text)
# The shared helpers were split into a file per job.
text = text.replace('#include "records/shared.h"', '#include "records/csv_line.h"\n'
                    '#include "records/text_slots.h"\n#include "records/warning_box.h"')
match = re.search(r'\nint DownloadFinish\(PlatWindow window\)\n\{', text)
if match:
    end = text.index('\n}\n', match.end())
    body = text[match.end():end].replace('return 1;', 'return;')
    text = text[:match.start()] + '\nvoid DownloadFinish(PlatWindow window)\n{' + body + text[end:]
open(path, 'w').write(text)
PY
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DKM_MODEL_DOWNLOAD_CPP="$PWD/$dir/download_before.cpp" >/dev/null
    echo "(download/download.cpp as at $(git rev-parse --short "$rev"))"
else
    dir=build/bench-host
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKM_MODEL_DOWNLOAD_CPP= >/dev/null
fi
cmake --build "$dir" -j"$jobs" --target timing_model >/dev/null
"$dir/timing_model" "$@"
