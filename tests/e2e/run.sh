#!/bin/sh
# Runs the Wine end-to-end tests against already built .exe files (builds nothing).
# Usage: tests/e2e/run.sh [pytest args...]; KM_WIN_BUILD names the build dir (build/windows).
set -u
cd "$(dirname "$0")/../.." || exit 1

# The pyenv python may lack pytest; Debian's python3-pytest is under /usr/bin/python3.
py=python3
if ! "$py" -c 'import pytest' 2>/dev/null; then
    py=/usr/bin/python3
fi
if ! "$py" -c 'import pytest' 2>/dev/null; then
    echo "e2e: pytest not found (scripts/deps.sh wine)" >&2
    exit 1
fi

echo "e2e: $py -m pytest -q tests/e2e $* (exes from ${KM_WIN_BUILD:-build/windows})"
"$py" -m pytest -q -p no:cacheprovider tests/e2e "$@"
rc=$?
echo "e2e: pytest exit code $rc"
exit $rc
