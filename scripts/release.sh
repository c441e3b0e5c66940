#!/bin/bash
# Builds the release from the committed tree (HEAD; uncommitted changes never ship) and writes
# dist/km740tool-VERSION-win64.zip (the window program and the console one, km740cap.exe),
# dist/km740cap-VERSION-linux-x86_64.tar.gz (the console program for Linux) and dist/SHA256SUMS.
# The same commit gives the same bytes in any folder, at any time, under any time zone and umask.
# Usage (as root, from the repository's root): scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${KM_JOBS:-2}
say() { printf 'release: %s\n' "$*"; }
die() { printf 'release: FAILED: %s\n' "$*" >&2; exit 1; }

say "packages"
scripts/deps.sh release || die "could not install the packages"

commit=$(git rev-parse --verify -q 'HEAD^{commit}') || die "no commit to build (not a git clone?)"
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
    say "note: uncommitted changes are not in the release (it builds HEAD ${commit:0:12})"
version=$(git show HEAD:VERSION | head -n 1)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "VERSION at HEAD is '$version', not four numbers"
# Every time inside the release is the commit's: the zip entries, and whatever a tool of the
# build stamps (they honour SOURCE_DATE_EPOCH).
epoch=$(git log -1 --format=%ct HEAD)
name=km740tool-$version

work=$(mktemp -d "${TMPDIR:-/tmp}/km740-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
say "exporting HEAD ${commit:0:12} (version $version, committed $(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC'))"
git archive --format=tar --prefix=src/ HEAD | tar -x -C "$work"
for file in examples/message.csv examples/message-ja.csv; do
    [ -f "$work/src/$file" ] || die "$file is not in the committed tree; the release ships it"
done

say "building km740tool.exe and km740cap.exe (MinGW-w64, Release, warnings as errors)"
(
    cd "$work/src"
    export SOURCE_DATE_EPOCH=$epoch TZ=UTC LC_ALL=C
    cmake --preset windows -DKM_WERROR=ON >/dev/null
    cmake --build build/windows -j"$jobs" --target km740tool km740cap
) || die "the Windows build failed"

say "building km740cap for Linux (host compiler, Release, the C++ runtime linked in)"
(
    cd "$work/src"
    export SOURCE_DATE_EPOCH=$epoch TZ=UTC LC_ALL=C
    cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=Release -DKM_WERROR=ON -DKM_STATIC_RUNTIME=ON \
        -DKM_HOST_TESTS=OFF >/dev/null
    cmake --build build/linux -j"$jobs" --target km740cap
) || die "the Linux build failed"

say "packing $name-win64.zip"
stage=$work/stage/$name
mkdir -p "$stage"
# strip writes a new PE header time: the commit's, not the clock's.
for exe in km740tool km740cap; do
    SOURCE_DATE_EPOCH=$epoch x86_64-w64-mingw32-strip -o "$stage/$exe.exe" "$work/src/build/windows/$exe.exe"
done
cp "$work/src/examples/message.csv" "$work/src/examples/message-ja.csv" "$stage/"
# Debian's python3 (not another one on PATH): its zlib makes the compressed bytes.
/usr/bin/python3 "$work/src/scripts/release_pack.py" --folder "$stage" --version "$version" \
    --epoch "$epoch" --readme "$work/src/docs/README.txt" --out "$work/$name-win64.zip" ||
    die "packing failed"

capname=km740cap-$version
say "packing $capname-linux-x86_64.tar.gz"
mkdir -p "$work/linux/$capname"
strip -o "$work/linux/$capname/km740cap" "$work/src/build/linux/km740cap"
/usr/bin/python3 "$work/src/scripts/release_pack.py" --tar --folder "$work/linux/$capname" \
    --epoch "$epoch" --out "$work/$capname-linux-x86_64.tar.gz" || die "packing the tar failed"

mkdir -p dist
cp "$work/$name-win64.zip" "dist/$name-win64.zip"
cp "$work/$capname-linux-x86_64.tar.gz" "dist/$capname-linux-x86_64.tar.gz"
(cd dist && sha256sum "$name-win64.zip" "$capname-linux-x86_64.tar.gz" >SHA256SUMS)
say "wrote dist/$name-win64.zip ($(stat -c %s "dist/$name-win64.zip") bytes),"
say "dist/$capname-linux-x86_64.tar.gz ($(stat -c %s "dist/$capname-linux-x86_64.tar.gz") bytes) and dist/SHA256SUMS:"
cat dist/SHA256SUMS
