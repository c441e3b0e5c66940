"""Checks of the bed's helpers: the package installer's decisions, Wine path naming, and the
UI driver's argument handling (so a typo in a test fails loudly instead of clicking 0)."""

import os
import subprocess

import pytest

import winebed
from conftest import REPO

DEPS = os.path.join(REPO, "scripts", "deps.sh")

# Stand-ins for the system tools deps.sh consults, so every path runs on any machine:
# dpkg-query reports the packages in $FAKE_MISSING as absent, id -u prints $FAKE_UID,
# apt-get logs its arguments and fails the step named in $FAKE_APT_FAIL.
SHIMS = {
    "dpkg-query": """#!/bin/sh
pkg=$3
for m in $FAKE_MISSING; do [ "$m" = "$pkg" ] && { echo "dpkg-query: no packages found" >&2; exit 1; }; done
printf 'install ok installed'
""",
    "id": """#!/bin/sh
echo "$FAKE_UID"
""",
    "apt-get": """#!/bin/sh
echo "$*" >> "$FAKE_APT_LOG"
[ "$1" = "$FAKE_APT_FAIL" ] && exit 100
exit 0
""",
}


@pytest.fixture
def shimmed(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in SHIMS.items():
        (bin_dir / name).write_text(text)
        (bin_dir / name).chmod(0o755)
    log = tmp_path / "apt.log"

    def run(args, missing="", uid=0, apt_fail=""):
        env = dict(os.environ, PATH="%s:%s" % (bin_dir, os.environ["PATH"]),
                   FAKE_MISSING=missing, FAKE_UID=str(uid), FAKE_APT_FAIL=apt_fail,
                   FAKE_APT_LOG=str(log))
        r = subprocess.run([DEPS] + args, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, timeout=60, check=False)
        calls = log.read_text().splitlines() if log.exists() else []
        return r.returncode, r.stdout, calls
    return run


INSTALL = "install -y --no-install-recommends"

# (case, args, missing, uid, apt step that fails, exit code, apt calls, words in the output)
DEPS_CASES = [
    ("all present", ["host"], "", 0, "", 0, [], ["all present"]),
    ("all present, not root", ["wine"], "", 1000, "", 0, [], ["all present"]),
    ("installs only the missing", ["wine"], "socat xdotool", 0, "", 0,
     ["update", INSTALL + " socat xdotool"], ["deps: installing socat xdotool"]),
    ("shared package once", ["host", "wine"], "python3-pytest", 0, "", 0,
     ["update", INSTALL + " python3-pytest"], ["installing python3-pytest"]),
    ("not root", ["valgrind"], "valgrind", 1000, "", 1, [],
     ["missing packages: valgrind", "not root"]),
    ("update fails", ["fuzz"], "clang", 0, "update", 1, ["update"], ["apt-get update failed"]),
    ("install fails", ["fuzz"], "clang", 0, "install", 1, ["update", INSTALL + " clang"],
     ["apt-get install failed for: clang"]),
    ("unknown flavour", ["bogus"], "", 0, "", 2, [], ["unknown flavour", "usage"]),
    ("no flavour", [], "", 0, "", 2, [], ["usage"]),
]


@pytest.mark.parametrize("args,missing,uid,apt_fail,rc,calls,words",
                         [c[1:] for c in DEPS_CASES], ids=[c[0] for c in DEPS_CASES])
def test_deps(shimmed, args, missing, uid, apt_fail, rc, calls, words):
    got_rc, out, got_calls = shimmed(args, missing, uid, apt_fail)
    assert (got_rc, got_calls) == (rc, calls), out
    for w in words:
        assert w in out


# (Unix path below the prefix, Windows name)
WINDOWS_PATHS = [
    ("drive_c", "C:\\"),
    ("drive_c/tests/a b/km740tool.exe", "C:\\tests\\a b\\km740tool.exe"),
    ("drive_c/.hidden", "C:\\.hidden"),
    ("drive_cx/file", None),   # a sibling that merely starts like drive_c
]


@pytest.mark.parametrize("rel,expected", WINDOWS_PATHS)
def test_windows_path(rel, expected):
    b = winebed.Bed()
    b.prefix = "/tmp/bed/prefix"
    unix = os.path.join(b.prefix, rel)
    if expected is None:
        expected = "Z:" + unix.replace("/", "\\")
    assert b.windows_path(unix) == expected


# Malformed driver commands: exit code 2, never an action on a default id.
BAD_DRIVER_ARGS = [
    (),
    ("frobnicate",),
    ("click",),
    ("click", "9x"),
    ("click", "start", "extra"),
    ("select", "port"),
    ("select", "port", "x"),
    ("select", "port", "-2"),
    ("wait-window", "soon"),
    ("wait-caption", "start"),
]


def test_driver_rejects_malformed_commands(fresh_bed):
    for args in BAD_DRIVER_ARGS:
        rc, _ = fresh_bed.ui(*args)
        assert rc == 2, args


def test_driver_reports_a_missing_window_as_failure(fresh_bed):
    for args in (("title",), ("click", "start"), ("items", "port"), ("close",),
                 ("client-origin",), ("wait-window", "50")):
        rc, out = fresh_bed.ui(*args)
        assert rc == 1, args
        assert out in ("no window", "timeout"), (args, out)
    assert fresh_bed.ui("wait-gone", 50) == (0, "gone")


# A two-glyph font on face colour F: "I" is one inked column and a blank one, " " two blank.
F, K = 0xF5F5F5, 0x000000
# "\xa1" is "I" one column further right, as Tahoma's inverted exclamation mark is an "i".
GLYPHS = {"height": 2, "face": F, "list": [
    ("I", 2, ((K, F), (K, F))),
    ("\xa1", 2, ((F, K), (F, K))),
    (" ", 2, ((F, F), (F, F))),
]}


# (case, pixel rows, expected reading: None means "not exactly the tool's glyphs")
GLYPH_LINES = [
    ("blank", [[F] * 6] * 3, ""),
    ("two glyphs with a space, offset",
     [[F] * 8, [F, K, F, F, F, F, K, F], [F, K, F, F, F, F, K, F]], "I I"),
    ("shifted look-alike reads as ASCII", [[F, F, K, F], [F, F, K, F]], "I"),
    ("one pixel of another colour", [[F, K, F, F], [F, 0x101010, F, F]], None),
    ("half a glyph", [[F, K, F, F], [F, F, F, F]], None),
    ("ink taller than a line", [[K, F], [K, F], [K, F]], None),
]


@pytest.mark.parametrize("rows,expected", [c[1:] for c in GLYPH_LINES],
                         ids=[c[0] for c in GLYPH_LINES])
def test_glyph_reading_is_exact(rows, expected):
    assert winebed.decode_glyph_line(rows, GLYPHS) == expected


def test_glyph_inking_past_its_advance_reads_only_with_that_overhang():
    # "I", its own overhang (ink in the top row only), a blank column, "I" again: how Wine
    # sets a glyph whose ink runs past its advance in a string.
    rows = [[K, F, K, F, K, F], [K, F, F, F, K, F]]
    assert winebed.decode_glyph_line(rows, dict(GLYPHS, overhang={"I": (K, F)})) == "II"
    assert winebed.decode_glyph_line(rows, GLYPHS) is None


def test_overhang_inked_into_the_next_glyphs_first_column_reads():
    # "I" overhangs (K, F); "." (a dot low in its second column) is set right at I's advance,
    # its blank first column taking I's overhang: how Wine draws VL Gothic's "ポー" at 144 DPI.
    glyphs = {"height": 2, "face": F, "overhang": {"I": (K, F)}, "list": [
        ("I", 2, ((K, F), (K, F))), (".", 2, ((F, F), (F, K)))]}
    rows = [[K, F, K, F], [K, F, F, K]]
    assert winebed.decode_glyph_line(rows, glyphs) == "I."
    assert winebed.decode_glyph_line(rows, dict(glyphs, overhang={})) is None
