"""Fixtures for the tests that run the real program under Wine: one bed per session, one
fresh program folder per test. Built .exe files come from $KM_WIN_BUILD (build/windows).
KM_E2E_REQUIRE=1 turns "not installed / not built" skips into failures (for CI);
KM_E2E_KEEP=1 keeps the bed's temp dir for a post-mortem."""

import filecmp
import os
import re
import shutil
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winebed  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _missing(reason):
    if os.environ.get("KM_E2E_REQUIRE") == "1":
        pytest.fail(reason, pytrace=False)
    pytest.skip(reason)


def build_dir():
    d = os.environ.get("KM_WIN_BUILD", "build/windows")
    return d if os.path.isabs(d) else os.path.join(REPO, d)


def built_exe(name):
    """Path of a built .exe, or a skip naming the command that builds it."""
    path = os.path.join(build_dir(), name + ".exe")
    if not os.path.isfile(path):
        _missing("%s not built: cmake --preset windows && cmake --build build/windows "
                 "--target %s (looked in %s)" % (name, name, build_dir()))
    return path


def _session_bed(kind):
    if not winebed.have_wine():
        _missing("wine is not installed (scripts/deps.sh wine)")
    for tool in ("Xvfb", "socat", "setpriv"):
        if shutil.which(tool) is None:
            _missing("%s is not installed (scripts/deps.sh wine)" % tool)
    b = winebed.Bed(uidriver=built_exe("uidriver"), portcheck=built_exe("portcheck"),
                    keep=os.environ.get("KM_E2E_KEEP") == "1", kind=kind)
    b.start()
    return b


@pytest.fixture(scope="session")
def bed():
    b = _session_bed("1252")
    yield b
    b.stop()


# The beds in code page 932, each made once per run when a test first asks for it (a prefix
# costs 15-25 s): a Japanese Windows, and an English one whose programs run in Japanese.
@pytest.fixture(scope="session")
def bed_932():
    b = _session_bed("932")
    yield b
    b.stop()


@pytest.fixture(scope="session")
def bed_932_en():
    b = _session_bed("932-en")
    yield b
    b.stop()


@pytest.fixture
def fresh_bed(bed):
    """The session bed with no ports, no held ports and no program windows left over."""
    bed.remove_all_ports()
    yield bed
    bed.stop_programs()
    bed.remove_all_ports()
    bed.ui("wait-gone", 3000)


def program_folder(bed, name):
    """A new empty folder inside drive_c for one test's copy of the program."""
    safe = re.sub(r"[^A-Za-z0-9_.-]", "_", name)[:80]
    path = os.path.join(bed.drive_c(), "tests", safe)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def start_tool(bed, folder, files=None):
    """Copies km740tool.exe into folder (with config.csv / message.csv etc. given as
    {name: bytes}) and starts it from there; returns the Popen."""
    exe = os.path.join(folder, "km740tool.exe")
    built = built_exe("km740tool")
    # A second copy started from the folder a first one runs from finds the same .exe there:
    # it is not rewritten. Windows refuses to write a running .exe; Wine lets it happen, and
    # when a section lies page-aligned in the file (as .data may, by the size of .text) the
    # running copy's data was seen to fall back to the file's (its settings lost).
    if not (os.path.exists(exe) and filecmp.cmp(exe, built, shallow=False)):
        shutil.copyfile(built, exe)
    for name, data in (files or {}).items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    # The Windows path, so the program sees C:\tests\... as its module folder.
    return bed.start_exe(bed.windows_path(exe), cwd=folder)


def wait_exit(proc, timeout=10):
    """The program's exit code; fails the test if it does not end in time."""
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("program still running after %ss" % timeout, pytrace=False)


@pytest.fixture
def tool(fresh_bed, request):
    """Factory: tool(files=None) -> (Popen, folder) for a fresh copy of the program."""
    def launch(files=None, folder=None):
        folder = folder or program_folder(fresh_bed, request.node.name)
        return start_tool(fresh_bed, folder, files), folder
    return launch


def wait_for(predicate, timeout=5.0, step=0.05):
    """Polls predicate until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        v = predicate()
        if v or time.monotonic() > deadline:
            return v
        time.sleep(step)
