"""km740cap's Linux side over socat pty pairs: signals inherited as ignored (nohup), the six
rates as the port really holds them, a device that sends one byte at a time, paths up to the
system's limit and past it, and folder names that are not UTF-8 in JSON."""
import os
import signal
import subprocess
import sys
import termios
import time

import pytest

from caprun import CAP, DEVSIM, Run, devsim, records_of  # noqa: F401

PATH_MAX = os.pathconf("/", "PC_PATH_MAX")
# The longest name km740cap makes in a folder, with its separator and terminator.
LONGEST_NAME = len("/KM-740_MMDDYYYY_HHMMSS(99).csv.part") + 1


def take(run, dev, baud="38400", *dev_args):
    """One short data set from devsim once the port is open; the started and finished events."""
    devsim(dev, "--baud", baud, *(dev_args or ("--count", "2", "--length", "8")))
    return run.event("started"), run.event("finished")


# ---------------------------------------------------------------- signals


def ignoring(signum):
    return lambda: signal.signal(signum, signal.SIG_IGN)


# (name, signal ignored at the start, signal sent, it still runs after it)
SIGNAL_ROWS = [
    ("nohup", signal.SIGHUP, signal.SIGHUP, True),
    ("background job", signal.SIGINT, signal.SIGINT, True),
    ("hang-up stops", None, signal.SIGHUP, False),
]


@pytest.mark.parametrize("name,ignored,sent,survives", SIGNAL_ROWS, ids=[r[0] for r in SIGNAL_ROWS])
def test_signals_ignored_at_the_start_stay_ignored(tmp_path, line, name, ignored, sent, survives):
    run = Run(["--port", line.app, "--baud", "38400", "--json", "--continuous"], str(tmp_path),
              preexec_fn=ignoring(ignored) if ignored else None)
    run.event("listening")
    run.proc.send_signal(sent)
    if not survives:
        assert run.finish() == 130
        return
    time.sleep(0.5)
    assert run.proc.poll() is None, "km740cap stopped at a signal it was started ignoring"
    started, finished = take(run, line.dev)
    assert finished["outcome"] == "complete" and os.path.exists(finished["path"])
    run.proc.send_signal(signal.SIGTERM)
    assert run.finish() == 130


# ---------------------------------------------------------------- rates


@pytest.mark.parametrize("rate", [1200, 2400, 4800, 9600, 19200, 38400])
def test_each_rate_is_set_on_the_port(tmp_path, line, rate):
    run = Run(["--port", line.app, "--baud", str(rate), "--json"], str(tmp_path))
    run.event("listening")
    # As root, TIOCEXCL does not keep this open out: the settings are read while km740cap holds them.
    fd = os.open(line.app, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    finally:
        os.close(fd)
    speed = getattr(termios, "B%d" % rate)
    assert (ispeed, ospeed) == (speed, speed)
    assert cflag & (termios.CSIZE | termios.PARENB | termios.CSTOPB) == termios.CS8
    assert cflag & termios.CREAD and not lflag & (termios.ICANON | termios.ECHO)
    devsim(line.dev, "--baud", str(rate), "--count", "1", "--length", "4")
    finished = run.event("finished")
    assert run.finish() == 0, run.err
    assert open(finished["path"], "rb").read() == records_of(1, 4)


# ---------------------------------------------------------------- one byte at a time


def test_bytes_that_come_one_at_a_time_make_a_whole_file(tmp_path, line):
    """Every poll finds at most one byte queued: each must be read, the last one too. The
    device holds the line open well past the test's wait, so no hang-up hands that byte on."""
    run = Run(["--port", line.app, "--baud", "38400", "--json"], str(tmp_path))
    run.event("listening")
    sender = subprocess.Popen([DEVSIM, "--quiet", "--baud", "38400", "--count", "2", "--length", "4",
                               "--fault", "split", "--split-bytes", "1", "--split-ms", "150",
                               "--hold-ms", "20000", line.dev], stdout=subprocess.DEVNULL)
    try:
        finished = run.event("finished", timeout=8)   # 18 bytes, 150 ms apart
        assert run.finish() == 0, run.err
    finally:
        sender.kill()
        sender.wait()
    assert (finished["outcome"], finished["records"]) == ("complete", 2)
    assert open(finished["path"], "rb").read() == records_of(2, 4)


# ---------------------------------------------------------------- paths


def deep_folder(base, length):
    """A folder whose path is exactly `length` bytes, in components the system takes."""
    path = base
    while len(path) < length:
        left = length - len(path)   # each component costs its separator and its name
        step = left - 1 if left <= 201 else (199 if left == 202 else 200)
        path = os.path.join(path, "d" * step)
    assert len(path) == length
    os.makedirs(path)
    return path


# (name, which option gets the over-long value)
TOO_LONG_ROWS = ["--out absolute", "--out relative", "--port", "--raw"]


@pytest.mark.parametrize("which", TOO_LONG_ROWS)
def test_a_path_longer_than_the_system_takes_is_a_usage_error(tmp_path, line, which):
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    over = PATH_MAX - LONGEST_NAME + 1   # one byte more than a folder may have
    args = {"--port": line.app, "--baud": "38400"}
    if which == "--out absolute":
        args["--out"] = "/" + "x/" * ((over - 1) // 2) + "x"
    elif which == "--out relative":
        args["--out"] = "y/" * ((over - len(str(cwd))) // 2 + 1)
    elif which == "--port":
        args["--port"] = "/dev/" + "p" * PATH_MAX
    else:
        args["--raw"] = "r" * PATH_MAX
    run = Run([a for kv in args.items() for a in kv], str(cwd))
    assert run.finish() == 2
    assert which.split()[0] in run.err and "longer than the %d bytes" % (PATH_MAX - 1) in run.err
    assert run.out == [] and os.listdir(cwd) == []


def test_paths_up_to_the_limit_are_taken_whole(tmp_path, line):
    """The longest folder that leaves room for every name, a port and a raw file past 260 bytes."""
    folder = deep_folder(str(tmp_path), PATH_MAX - LONGEST_NAME)
    deep = deep_folder(str(tmp_path / "p"), 320)
    port = os.path.join(deep, "tty")
    os.symlink(line.app, port)
    raw = os.path.join(deep, "raw.bin")
    run = Run(["--port", port, "--baud", "38400", "--out", folder, "--raw", raw, "--json"], str(tmp_path))
    run.event("listening")
    started, finished = take(run, line.dev)
    assert run.finish() == 0, run.err
    assert os.path.dirname(started["partPath"]) == folder == os.path.dirname(finished["path"])
    assert open(finished["path"], "rb").read() == records_of(2, 8)
    assert records_of(2, 8) in open(raw, "rb").read()


# ---------------------------------------------------------------- names that are not UTF-8


@pytest.mark.parametrize("name", [b"caf\xe9 \xff", b"ok-\xc3\xa9-\xe9", b"\xed\xa0\x80\xe2\x82"],
                         ids=["latin-1", "utf-8 and latin-1", "surrogate and cut sequence"])
def test_a_folder_that_is_not_utf8_is_found_from_json(tmp_path, line, name):
    if sys.getfilesystemencoding() != "utf-8":
        pytest.skip("Python's file system encoding is not UTF-8")
    folder = os.path.join(os.fsencode(str(tmp_path)), name)
    os.mkdir(folder)
    run = Run(["--port", line.app, "--baud", "38400", "--out", os.fsdecode(folder), "--json"], str(tmp_path))
    run.event("listening")
    started, finished = take(run, line.dev)
    assert run.finish() == 0, run.err
    assert os.fsencode(os.path.dirname(finished["path"])) == folder
    assert os.fsencode(os.path.dirname(started["partPath"])) == folder
    assert os.path.exists(finished["path"])
    assert open(finished["path"], "rb").read() == records_of(2, 8)
