"""km740cap natively on Linux: a table of command lines and devices against exit codes,
outcomes and files, over socat pty pairs with devsim as the device. No Wine, so these run in
seconds (one row waits out the 30-second silence limit). KM_HOST_BUILD names the build
folder holding km740cap and devsim (default build/host)."""
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from devsim_records import crlf, gen  # noqa: E402

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


@pytest.fixture
def line(tmp_path):
    ln = Line(str(tmp_path))
    yield ln
    ln.unplug()


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


# ---------------------------------------------------------------- the table: devices

# (name, extra args, one devsim argument list per data set, exit, outcomes, records per file,
#  what stderr and the JSON message say of each data set)
DEVICE_ROWS = [
    ("complete", [], [["--count", "5", "--length", "20"]], 0, ["complete"], [5], [""]),
    ("two in a row", ["--count", "2"], [["--count", "3", "--length", "8"], ["--count", "4", "--length", "9"]],
     0, ["complete", "complete"], [3, 4], ["", ""]),
    ("first line not STX", [], [["--count", "3", "--length", "8", "--fault", "bad-first"]], 1,
     ["incomplete"], [0], ["the first line was not STX"]),
    ("one-byte record", [], [["--count", "4", "--length", "8", "--fault", "one-byte"]], 1,
     ["incomplete"], [2], ["a line out of place"]),
    ("incomplete then complete", ["--count", "2"],
     [["--count", "2", "--length", "8", "--fault", "one-byte"], ["--count", "2", "--length", "8"]],
     1, ["incomplete", "complete"], [1, 2], ["a line out of place", ""]),
    ("bytes after ETX are not written", [], [["--count", "2", "--length", "30", "--after-etx", "zz\\r\\n"]],
     0, ["complete"], [2], [""]),
]


@pytest.mark.parametrize("name,args,sets,code,outcomes,counts,reasons", DEVICE_ROWS, ids=[r[0] for r in DEVICE_ROWS])
def test_data_sets(tmp_path, line, name, args, sets, code, outcomes, counts, reasons):
    out = tmp_path / "out"
    out.mkdir()
    run = Run(["--port", line.app, "--baud", "38400", "--out", str(out), "--json", *args], str(tmp_path))
    finished = []
    for dev_args in sets:
        run.event("listening")
        devsim(line.dev, "--baud", "38400", *dev_args)
        finished.append(run.event("finished"))
    assert run.finish() == code, run.err
    assert [f["outcome"] for f in finished] == outcomes
    assert [f["records"] for f in finished] == counts
    files = csv_files(out)
    assert len(files) == len(sets) and all(NAME.match(f) for f in files)
    for f, dev_args in zip(finished, sets):
        data = open(f["path"], "rb").read()
        length = int(dev_args[dev_args.index("--length") + 1])
        if "one-byte" in dev_args:
            assert data == records_of(f["records"], length)
        elif f["outcome"] == "complete":
            n = int(dev_args[dev_args.index("--count") + 1])
            assert data == records_of(n, length)
        assert f["bytes"] == len(data)
        assert os.path.dirname(f["path"]) == str(out)
    for f, words in zip(finished, reasons):
        assert words in f.get("message", "") and words in run.err


def test_plain_line_and_default_folder(tmp_path, line):
    """Without --json: one line per data set, path last, in the current folder by default."""
    run = Run(["--port", line.app, "--baud", "9600", "--quiet"], str(tmp_path))
    devsim(line.dev, "--baud", "9600", "--delay-ms", "700", "--count", "3", "--length", "10")
    assert run.finish() == 0, run.err
    assert run.err == ""
    (result,) = run.out
    outcome, records, size, path = result.split(" ", 3)
    assert (outcome, records, size) == ("complete", "3", "36")
    assert os.path.dirname(path) == str(tmp_path) and NAME.match(os.path.basename(path))
    assert open(path, "rb").read() == records_of(3, 10)


def test_silence_ends_the_data_set_after_30_seconds(tmp_path, line):
    """STX and two records, then nothing: incomplete after the silence limit, records kept."""
    run = Run(["--port", line.app, "--baud", "38400", "--json"], str(tmp_path))
    run.event("listening")
    threading.Thread(target=devsim, args=(line.dev, "--baud", "38400", "--count", "4", "--length", "6",
                                          "--fault", "silence", "--hold-ms", "40000"), daemon=True).start()
    run.event("started")
    start = time.monotonic()
    ev = run.event("finished", timeout=40)
    waited = time.monotonic() - start
    assert run.finish() == 1
    assert (ev["outcome"], ev["records"]) == ("incomplete", 2)
    assert 29.5 < waited < 32.5
    assert open(ev["path"], "rb").read() == records_of(2, 6)
    assert "no ETX line) before the device fell silent for 30 s" in run.err


# ---------------------------------------------------------------- ports that are not one


@pytest.mark.parametrize("target,words", [
    ("regular file", "regular file, not a serial device"),
    ("folder", "folder, not a serial device"),
    ("/dev/null", "not a serial device"),
    ("missing", "No such file or directory"),
])
def test_not_a_serial_device(tmp_path, target, words):
    plain = tmp_path / "plain.txt"
    plain.write_bytes(b"keep me\n")
    port = {"regular file": str(plain), "folder": str(tmp_path), "/dev/null": "/dev/null",
            "missing": "/dev/ttyNOSUCH9"}[target]
    run = Run(["--port", port, "--baud", "9600"], str(tmp_path))
    assert run.finish() == 3
    assert run.out == []
    assert port in run.err and words in run.err and "cannot be opened or configured" in run.err
    assert csv_files(tmp_path) == [] and plain.read_bytes() == b"keep me\n"


def test_port_held_by_another_capture(tmp_path, line):
    first = Run(["--port", line.app, "--baud", "9600", "--json"], str(tmp_path))
    first.event("listening")
    second = Run(["--port", line.app, "--baud", "9600"], str(tmp_path))
    assert second.finish() == 3
    assert "in use by another program" in second.err
    first.proc.send_signal(signal.SIGTERM)
    assert first.finish() == 130


# ---------------------------------------------------------------- files that cannot be made


@pytest.mark.parametrize("folder,words", [
    ("missing/deeper", "No such file or directory"),
    ("afile", "Not a directory"),
])
def test_file_cannot_be_created(tmp_path, line, folder, words):
    (tmp_path / "afile").write_bytes(b"")
    run = Run(["--port", line.app, "--baud", "9600", "--out", folder], str(tmp_path))
    assert run.finish() == 4
    assert words in run.err and str(tmp_path / folder) in run.err and run.out == []


# ---------------------------------------------------------------- usage


@pytest.mark.parametrize("args,words", [
    ([], "--port is required"),
    (["--port", "X"], "--baud is required"),
    (["--port", "X", "--baud", "1234"], "not one of"),
    (["--port", "X", "--baud", "9600", "--count", "0"], "--count 0"),
    (["--port", "X", "--baud", "9600", "--count", "two"], "--count two"),
    (["--port", "X", "--baud", "9600", "--count", "2", "--continuous"], "exclude each other"),
    (["--port", "X", "--baud", "9600", "--frobnicate"], "unknown option --frobnicate"),
    (["--port", "X", "--baud", "9600", "extra"], "unexpected argument extra"),
    (["--port"], "--port needs a value"),
    (["--quiet=yes", "--port", "X", "--baud", "9600"], "--quiet takes no value"),
])
def test_usage_errors(tmp_path, args, words):
    run = Run(args, str(tmp_path))
    assert run.finish() == 2
    assert words in run.err and "--help" in run.err and run.out == []
    assert os.listdir(tmp_path) == []


def test_help_and_version():
    out = subprocess.run([CAP, "--help"], capture_output=True, text=True, check=True).stdout
    assert out.startswith("usage: km740cap --port PORT --baud RATE")
    version = open(os.path.join(REPO, "VERSION")).readline().strip()
    assert subprocess.run([CAP, "--version"], capture_output=True, text=True, check=True).stdout == \
        "km740cap %s\n" % version


def test_readme_holds_the_help_text_verbatim():
    out = subprocess.run([CAP, "--help"], capture_output=True, text=True, check=True).stdout
    readme = open(os.path.join(REPO, "README.md"), encoding="utf-8").read()
    assert "```\n" + out + "```\n" in readme, "README.md's 'Capturing from scripts' must show km740cap --help"


# ---------------------------------------------------------------- stopped and pulled


def slow_sender(dev):
    """200 records of 20 bytes at 1200 bit/s: about 37 s, so the data set is cut midway."""
    proc = subprocess.Popen([DEVSIM, "--quiet", "--baud", "1200", "--count", "200", "--length", "20",
                             "--hold-ms", "0", dev], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return proc


def wait_records(path, n, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) >= n * 22:
            return
        time.sleep(0.05)
    pytest.fail("%d records did not arrive" % n)


def test_sigterm_keeps_every_record(tmp_path, line):
    run = Run(["--port", line.app, "--baud", "1200", "--json"], str(tmp_path))
    path = run.event("listening")["path"]
    sender = slow_sender(line.dev)
    try:
        run.event("started")
        wait_records(path, 3)
        run.proc.send_signal(signal.SIGTERM)
        ev = run.event("finished")
        assert run.finish() == 130
    finally:
        sender.kill()
        sender.wait()
    assert ev["outcome"] == "stopped" and ev["records"] >= 3
    assert open(path, "rb").read() == records_of(ev["records"], 20)


def test_stop_before_any_byte_leaves_no_file(tmp_path, line):
    run = Run(["--port", line.app, "--baud", "9600", "--json"], str(tmp_path))
    run.event("listening")
    run.proc.send_signal(signal.SIGINT)
    ev = run.event("finished")
    assert run.finish() == 130
    assert (ev["outcome"], ev["path"]) == ("stopped", None)
    assert csv_files(tmp_path) == []


def test_pulled_adapter_ends_at_once(tmp_path, line):
    run = Run(["--port", line.app, "--baud", "1200", "--json"], str(tmp_path))
    path = run.event("listening")["path"]
    sender = slow_sender(line.dev)
    try:
        run.event("started")
        wait_records(path, 2)
        line.unplug()
        pulled = time.monotonic()
        ev = run.event("finished")
        ended = time.monotonic() - pulled
        code = run.finish()
    finally:
        sender.kill()
        sender.wait()
    assert ended < 2.0
    assert code == 1 and ev["outcome"] == "incomplete"
    assert "hung up" in ev["message"] and "hung up" in run.err
    assert open(path, "rb").read() == records_of(ev["records"], 20)


def test_continuous_waits_for_a_pulled_adapter_to_return(tmp_path, line):
    run = Run(["--port", line.app, "--baud", "38400", "--json", "--continuous"], str(tmp_path))
    run.event("listening")
    devsim(line.dev, "--baud", "38400", "--count", "2", "--length", "8")
    assert run.event("finished")["outcome"] == "complete"
    run.event("listening")
    line.unplug()
    retry = run.event("finished")
    assert retry["outcome"] == "incomplete" or retry["outcome"] == "no-port"
    line.plug()
    run.event("listening", timeout=15)
    devsim(line.dev, "--baud", "38400", "--count", "3", "--length", "8")
    last = run.event("finished")
    run.proc.send_signal(signal.SIGTERM)
    assert run.finish() == 130
    assert (last["outcome"], last["records"]) == ("complete", 3)
    assert "trying again every 5 s" in run.err and "open again" in run.err


# ---------------------------------------------------------------- JSON


def test_json_escapes_the_path(tmp_path, line):
    odd = tmp_path / 'quote" back\\slash\ttab \u00e9'
    odd.mkdir()
    run = Run(["--port", line.app, "--baud", "38400", "--out", str(odd), "--json"], str(tmp_path))
    listening = run.event("listening")
    devsim(line.dev, "--baud", "38400", "--count", "1", "--length", "4")
    run.event("started")
    ev = run.event("finished")
    assert run.finish() == 0
    assert os.path.dirname(ev["path"]) == str(odd) == os.path.dirname(listening["path"])
    assert ev["receiveErrors"] == {"rxover": 0, "overrun": 0, "frame": 0, "parity": 0, "break": 0}
    assert os.path.exists(ev["path"])
