#!/bin/sh
# Installs the Debian packages one build or test flavour needs; installs only what is missing.
# Usage: scripts/deps.sh host|wine|fuzz|valgrind|winclang|release [more flavours...]
set -u

usage() {
    echo "usage: $0 host|wine|fuzz|valgrind|winclang|release [...]" >&2
    exit 2
}

[ $# -ge 1 ] || usage

wanted=""
need_ja=0
for flavour in "$@"; do
    case "$flavour" in
    # make: cmake's default generator; a minimal Debian has none.
    # socat: the pty pairs of the console program's native tests.
    host) wanted="$wanted cmake make g++ libgtest-dev python3 python3-pytest socat" ;;
    # fonts-wine gives the Tahoma that the Wine bed pins for its screen reading;
    # tesseract-ocr-eng is the language data that reading uses. Code page 932: Wine takes a
    # program's code page from its Unix locale, which must exist (locales, ja_JP.UTF-8
    # generated below), and fonts-vlgothic is the Japanese face the bed pins there.
    wine) wanted="$wanted make g++-mingw-w64-x86-64-posix wine wine64 fonts-wine xvfb socat xdotool imagemagick tesseract-ocr tesseract-ocr-eng python3-pytest locales fonts-vlgothic"
          need_ja=1 ;;
    fuzz) wanted="$wanted clang libclang-rt-14-dev" ;;
    valgrind) wanted="$wanted valgrind" ;;
    # clang and lld for the MinGW-w64 target, on the headers and libraries of GCC's package.
    winclang) wanted="$wanted cmake make clang lld g++-mingw-w64-x86-64-posix" ;;
    # The release build: the tree from git, the MinGW-w64 build, and Debian's python3 packs the zip.
    # g++ builds the Linux console program; binutils strips it.
    release) wanted="$wanted git cmake make g++ binutils g++-mingw-w64-x86-64-posix python3" ;;
    *) echo "deps: unknown flavour '$flavour'" >&2; usage ;;
    esac
done

# dpkg-query prints "install ok installed" only for a fully installed package;
# half-configured or removed-with-config states count as missing.
missing=""
for pkg in $wanted; do
    case " $missing " in *" $pkg "*) continue ;; esac
    state=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)
    if [ "$state" != "install ok installed" ]; then
        missing="$missing $pkg"
    fi
done

# Generates the locale ja_JP.UTF-8 once (locale -a names it ja_JP.utf8).
ja_locale() {
    [ "$need_ja" = 1 ] || return 0
    locale -a 2>/dev/null | grep -qx 'ja_JP.utf8' && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "deps: the locale ja_JP.UTF-8 is missing; run as root (or: sudo $0 $*)" >&2
        return 1
    fi
    echo "deps: generating the locale ja_JP.UTF-8"
    if grep -q '^# *ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
        sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    elif ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
        echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
    fi
    if ! locale-gen; then
        echo "deps: locale-gen failed" >&2
        return 1
    fi
}

if [ -z "$missing" ]; then
    ja_locale "$@" || exit 1
    echo "deps: all present for: $*"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing packages:$missing" >&2
    echo "deps: not root; run as root (or: sudo $0 $*)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
echo "deps: apt-get update"
if ! apt-get update; then
    echo "deps: apt-get update failed" >&2
    exit 1
fi
echo "deps: installing$missing"
# shellcheck disable=SC2086  # the list is meant to split into words
if ! apt-get install -y --no-install-recommends $missing; then
    echo "deps: apt-get install failed for:$missing" >&2
    exit 1
fi
ja_locale "$@" || exit 1
echo "deps: done"
exit 0
