"""Drives whole downloads of the real program under Wine: a program copy with its settings and
a complete catalogue, the Start click and its time, devsim on the device side, the end of the
download, the output files, the status lines read from the screen and who holds a port."""

import calendar
import os
import re
import subprocess
import time

import pytest

from conftest import REPO, wait_for
from devsim_records import crlf, gen  # noqa: F401  (re-exported to the test files)
from dialog import catalogue, config, read, text_height  # noqa: F401  (config, read re-exported)

DEVSIM = os.environ.get("DEVSIM", os.path.join(REPO, "build", "host", "devsim"))

# The whole catalogue with the program's own defaults: no warning box comes up at start, and
# the captions and status texts are the ones tests wait for.
MESSAGES = catalogue()

NAME = re.compile(r"KM-740_(\d\d)(\d\d)(\d{4})_(\d\d)(\d\d)(\d\d)(?:\((\d+)\))?\.csv")

# The begin step runs this long after Start; the file's name is the local time then.
BEGIN_DELAY_S = 0.25
# How late a Wine timer tick and a uidriver run may come on a busy two-core host.
SLACK_S = 1.5


def base_name(epoch_s):
    """The file name stem the program forms for the local time epoch_s."""
    return time.strftime("KM-740_%m%d%Y_%H%M%S", time.localtime(epoch_s))


def name_time(name):
    """(epoch second of the local time in the name, number or 1); fails on a foreign name."""
    m = NAME.fullmatch(name)
    assert m, "not an output file name: %r" % name
    mon, day, year, hh, mm, ss = (int(g) for g in m.groups()[:6])
    return time.mktime((year, mon, day, hh, mm, ss, 0, 0, -1)), int(m.group(7) or 1)


def outputs(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith("KM-740_"))


def clear_outputs(bed):
    for folder in bed.folders():
        if os.path.isdir(folder):
            for n in outputs(folder):
                os.unlink(os.path.join(folder, n))


def pts_holders(path):
    """PIDs with an open descriptor on the pty behind path (its link resolved)."""
    target = os.path.realpath(path)
    pids = set()
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            for fd in os.listdir("/proc/%s/fd" % d):
                if os.readlink("/proc/%s/fd/%s" % (d, fd)) == target:
                    pids.add(int(d))
        except OSError:
            pass
    return pids


class Bench:
    """One program copy on one virtual COM port, with devsim as the device."""

    def __init__(self, bed, tool):
        self.bed = bed
        self.tool = tool
        self.proc = None
        self.folder = None
        self.device = None
        self.port = None
        self.clicked = None       # (epoch before, epoch after) of the last Start click
        self.start_boxes = []     # "caption\ttext" of the boxes dismissed at start-up
        self.idle_caption = "Start"   # the Start button's caption (the catalogue's START)
        self._keep = []           # device-side descriptors held open (see open())
        self._sims = []

    def open(self, port=1, baud=9600, store=1, files=None, boxes_ok=False):
        """Adds COMport, starts the program on it and waits for its window."""
        if not os.access(DEVSIM, os.X_OK):
            pytest.skip("devsim not built: cmake --preset host && cmake --build build/host "
                        "--target devsim (looked for %s)" % DEVSIM)
        self.port = port
        self.device = self.bed.add_port(port)
        # A second opener of the device end keeps the pty pair up between devsim runs.
        self._keep.append(os.open(self.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        given = {"config.csv": config(port, baud, store), "message.csv": MESSAGES}
        given.update(files or {})
        self.proc, self.folder = self.tool(files=given)
        if boxes_ok:
            self.start_boxes = self.dismiss_start_boxes()
        self.bed.ui_ok("wait-window", 15000)
        assert self.bed.ui_ok("boxes") == "", "unexpected box at start"
        return self.proc

    def dismiss_start_boxes(self, most=6):
        """Presses OK on each warning of the start-up (they come before the window, one
        after the other) until the window is up with no box over it; returns the boxes."""
        seen = []
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and len(seen) <= most:
            if self.bed.ui("boxes")[1]:
                seen.append(self.bed.ui_ok("wait-box", 100))
                self.bed.ui_ok("dismiss")
            elif self.bed.ui("wait-window", 200)[0] == 0 and not self.bed.ui("boxes")[1]:
                return seen
        raise AssertionError("start-up did not settle; boxes so far: %r" % seen)

    def start(self):
        before = time.time()
        self.bed.ui_ok("click", "start")
        self.clicked = (before, time.time())

    def begin_seconds(self):
        """The local seconds the begin step can fall in after the last click."""
        lo = int(self.clicked[0] + BEGIN_DELAY_S - 0.05)
        hi = int(self.clicked[1] + BEGIN_DELAY_S + SLACK_S)
        return list(range(lo, hi + 1))

    def wait_file(self, folder, timeout=5.0):
        """The single output file that appears in folder (the begin step created it)."""
        found = wait_for(lambda: outputs(folder), timeout=timeout, step=0.01)
        assert len(found) == 1, "expected one output file in %s, found %r" % (folder, found)
        return os.path.join(folder, found[0])

    def sim(self, *args):
        """Starts devsim on the device end; stdout and stderr are collected. It waits 100 ms
        before its first byte unless told otherwise: the begin step opens and purges the port
        in the tick that creates the file, and a byte before the purge would be lost."""
        if "--delay-ms" not in args:
            args = ("--delay-ms", 100) + args
        p = subprocess.Popen([DEVSIM, "--quiet", *map(str, args), self.device],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._sims.append(p)
        return p

    @staticmethod
    def sent(p, timeout=120):
        """(records, bytes) from devsim's last line, once it has ended."""
        out, err = p.communicate(timeout=timeout)
        m = re.search(rb"sent records=(\d+) bytes=(\d+)", out)
        assert m, "devsim said %r / %r" % (out, err)
        return int(m.group(1)), int(m.group(2))

    def send(self, *args, timeout=120):
        """Runs devsim to its end; (records, bytes)."""
        p = self.sim("--hold-ms", 200, *args)
        return self.sent(p, timeout)

    def wait_idle(self, ms=10000):
        """Waits for the Start caption (the download has ended); seconds it took."""
        t = time.monotonic()
        self.bed.ui_ok("wait-caption", "start", self.idle_caption, ms, timeout=ms / 1000 + 30)
        return time.monotonic() - t

    def assert_idle(self):
        assert self.bed.ui_ok("caption", "start") == self.idle_caption
        for lst in ("port", "baud", "store"):
            assert self.bed.ui_ok("enabled", lst) == "1", lst + " list still disabled"

    def _status_top(self):
        _, _, _, folder_bottom = map(int, self.bed.ui_ok("rect", "store").split())
        return folder_bottom + self.bed.scale(32)

    def status(self):
        """The painted status text, read from the screen: one line of h pixels, the record
        line h + 4 below its top (the layout's sizes at 96 DPI, scaled to the bed's)."""
        ox, oy = self.bed.client_origin()
        h = text_height(self.bed)
        return self.bed.read_text(ox + self.bed.scale(8), oy + self._status_top() - 3,
                                  self.bed.scale(260), h + self.bed.scale(4) + 3)

    def last_record(self):
        """The record line painted under the status text."""
        ox, oy = self.bed.client_origin()
        h = text_height(self.bed)
        return self.bed.read_text(ox + self.bed.scale(16) - 4,
                                  oy + self._status_top() + h + self.bed.scale(4),
                                  self.bed.scale(370), h + 7)

    def port_holders(self):
        """Processes other than socat that have the program's side of the port open: under
        Wine the wineserver keeps the descriptor of every open COM handle."""
        socat = self.bed._ports[self.port][0].pid
        return pts_holders(self.bed.port_paths(self.port)[0]) - {socat}

    def close(self):
        for fd in self._keep:
            os.close(fd)
        self._keep = []
        for p in self._sims:
            if p.poll() is None:
                p.kill()
            p.communicate()
        self._sims = []


@pytest.fixture
def bench(fresh_bed, tool):
    clear_outputs(fresh_bed)
    b = Bench(fresh_bed, tool)
    yield b
    b.close()
    clear_outputs(fresh_bed)
