"""What the native km740cap tests share: the build's programs, a socat pty pair as the
serial line (`Line`), km740cap running with its stdout read line by line (`Run`), devsim as
the device, and a sender that writes bytes at a baud rate's pace."""
import json
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import time

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from devsim_records import crlf, gen, paced  # noqa: E402,F401

BUILD = os.path.abspath(os.environ.get("KM_HOST_BUILD", os.path.join(REPO, "build", "host")))
CAP = os.path.join(BUILD, "km740cap")
DEVSIM = os.path.join(BUILD, "devsim")
NAME = re.compile(r"KM-740_\d{8}_\d{6}(\(\d+\))?\.csv$")

if not (os.path.isfile(CAP) and os.path.isfile(DEVSIM)):
    pytest.skip("km740cap or devsim not built in %s (cmake --build build/host)" % BUILD,
                allow_module_level=True)
if shutil.which("socat") is None:
    pytest.skip("socat is not installed (scripts/deps.sh host)", allow_module_level=True)


class Line:
    """A socat pty pair: `app` is the port km740cap opens, `dev` the device's end."""

    def __init__(self, folder):
        self.app = os.path.join(folder, "ttyapp")
        self.dev = os.path.join(folder, "ttydev")
        self.proc = None
        self.plug()

    def plug(self):
        self.proc = subprocess.Popen(
            ["socat", "-d", "-d", "pty,raw,echo=0,link=" + self.app, "pty,raw,echo=0,link=" + self.dev],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not (os.path.exists(self.app) and os.path.exists(self.dev)):
            assert self.proc.poll() is None and time.monotonic() < deadline, "socat gave no pty pair"
            time.sleep(0.01)

    def unplug(self):
        """As pulling the adapter: the pty pair ends under the open port."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        for path in (self.app, self.dev):
            if os.path.lexists(path):
                os.unlink(path)


class Run:
    """km740cap running, its stdout read line by line."""

    def __init__(self, args, cwd, **popen):
        self.proc = subprocess.Popen([CAP] + args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     **popen)
        self.lines = queue.Queue()
        self.out = []
        self.err = b""
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\n"))
        self.lines.put(None)

    def next_line(self, timeout=10):
        line = self.lines.get(timeout=timeout)
        if line is not None:
            self.out.append(line)
        return line

    def event(self, name, timeout=10):
        """Waits for the next JSON event of that name; every line before it is kept."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.next_line(max(0.01, deadline - time.monotonic()))
            assert line is not None, "km740cap ended before %s: %s" % (name, self.finish())
            ev = json.loads(line)
            if ev["event"] == name:
                return ev

    def finish(self, timeout=10):
        code = self.proc.wait(timeout=timeout)
        while self.next_line(timeout) is not None:
            pass
        self.err = self.proc.stderr.read().decode("utf-8", "replace")
        return code


def devsim(dev, *args):
    return subprocess.run([DEVSIM, "--quiet", "--hold-ms", "300", *args, dev], check=True,
                          stdout=subprocess.DEVNULL, timeout=60)


def csv_files(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".csv"))


def records_of(n, length):
    return crlf([gen(i, length) for i in range(1, n + 1)])


def data_set(n, length, first=1):
    """STX, n records of the given length, ETX: the bytes a device sends."""
    return b"\x02\r\n" + records_of_range(first, n, length) + b"\x03\r\n"


def records_of_range(first, n, length):
    return crlf([gen(i, length) for i in range(first, first + n)])
