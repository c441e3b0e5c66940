#!/bin/bash
# The release is reproducible: scripts/release.sh run on two clones of HEAD, in two different
# folders, one after the other (so at different times), under different time zones and umasks,
# must write the same bytes (the zip, the Linux tar and SHA256SUMS). Then what they hold is
# checked (test_release.py, test_exe.py). Run from the repository's root after scripts/deps.sh
# host release.
set -euo pipefail
cd "$(dirname "$0")/../.."
say() { printf 'reproducible: %s\n' "$*"; }
head=$(git rev-parse --verify HEAD)
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    say "note: uncommitted changes are not part of this check (it builds HEAD ${head:0:12})"

base=$(mktemp -d "${TMPDIR:-/tmp}/km740-repro.XXXXXX")
trap 'rm -rf "$base"' EXIT
# tz: POSIX forms, which need no zone files on the machine.
release_in() {  # folder tz umask
    local dir=$1
    git clone -q --no-local --no-checkout . "$dir"
    git -C "$dir" checkout -q --detach "$head"
    say "building in $dir at $(date -u '+%H:%M:%S') UTC, TZ=$2, umask $3"
    if ! (cd "$dir" && umask "$3" && TZ=$2 scripts/release.sh >"$dir.log" 2>&1); then
        cat "$dir.log"
        say "FAILED: scripts/release.sh in $dir"
        return 1
    fi
}
first=$base/a/km740tool
second=$base/second/clone/in/a/longer/path/km740tool-copy
release_in "$first" UTC0 022
release_in "$second" JST-9 077

zip=$(cd "$first/dist" && ls km740tool-*-win64.zip)
tar=$(cd "$first/dist" && ls km740cap-*-linux-x86_64.tar.gz)
for file in "$zip" "$tar" SHA256SUMS; do
    cmp "$first/dist/$file" "$second/dist/$file" || { say "FAILED: dist/$file differs between the two builds"; exit 1; }
done
say "both builds wrote the same bytes: $(cat "$first/dist/SHA256SUMS")"

# The exe out of the zip, for the import check of what ships.
/usr/bin/python3 - "$first/dist/$zip" "$base" <<'PY'
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    for exe in ("km740tool.exe", "km740cap.exe"):
        name = [n for n in z.namelist() if n.endswith("/" + exe)][0]
        open(os.path.join(sys.argv[2], exe), "wb").write(z.read(name))
PY
KM_RELEASE_DIST=$first/dist KM_EXE=$base/km740tool.exe KM_CAP_EXE=$base/km740cap.exe \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/release
