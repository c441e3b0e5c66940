"""km740cap.exe under Wine: a few rows of the native table (tests/cap) against the real
Win32 serial calls, with a virtual COM port and devsim as the device."""
import json
import os
import shutil
import time

import pytest
from conftest import built_exe, program_folder, wait_exit
from devsim_records import crlf, gen

DEVSIM = os.environ.get("DEVSIM", os.path.join(os.path.dirname(__file__), "..", "..", "build", "host", "devsim"))


@pytest.fixture
def cap(fresh_bed, request):
    folder = program_folder(fresh_bed, request.node.name)
    exe = os.path.join(folder, "km740cap.exe")
    shutil.copyfile(built_exe("km740cap"), exe)
    return fresh_bed, folder, fresh_bed.windows_path(exe)


def events(bed, proc):
    return [json.loads(line) for line in bed.output(proc).splitlines() if line.startswith("{")]


def wait_event(bed, proc, name, count=1, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = [e for e in events(bed, proc) if e["event"] == name]
        if len(found) >= count:
            return found[count - 1]
        if proc.poll() is not None:
            break
        time.sleep(0.02)
    pytest.fail("no %s event: %r" % (name, bed.output(proc)), pytrace=False)


def devsim(dev, *args):
    import subprocess
    subprocess.run([DEVSIM, "--quiet", "--hold-ms", "300", *args, dev], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)


def test_two_data_sets_then_the_plain_lines(cap):
    bed, folder, exe = cap
    dev = bed.add_port(3)
    proc = bed.start_exe(exe, "--port", "COM3", "--baud", "38400", "--count", "2", "--json",
                         "--out", bed.windows_path(folder), cwd=folder)
    for n, length in ((1, 12), (2, 30)):
        wait_event(bed, proc, "listening", n)
        devsim(dev, "--baud", "38400", "--count", "4", "--length", str(length))
        wait_event(bed, proc, "finished", n)
    assert wait_exit(proc) == 0
    done = [e for e in events(bed, proc) if e["event"] == "finished"]
    assert [(e["outcome"], e["records"]) for e in done] == [("complete", 4), ("complete", 4)]
    for e, length in zip(done, (12, 30)):
        assert e["path"].startswith(bed.windows_path(folder) + "\\")
        with open(os.path.join(folder, e["path"].rsplit("\\", 1)[1]), "rb") as f:
            assert f.read() == crlf([gen(i, length) for i in range(1, 5)])


@pytest.mark.parametrize("args,code,words", [
    (["--port", "COM9", "--baud", "9600"], 3, "COM9: the port cannot be opened or configured: "),
    (["--port", "COM3", "--baud", "9601"], 2, "--baud 9601: not one of"),
    (["--port", "COM3", "--baud", "9600", "--out", "C:\\no\\such\\folder"], 4, "C:\\no\\such\\folder"),
])
def test_refusals(cap, args, code, words):
    bed, folder, exe = cap
    bed.add_port(3)
    result = bed.run(exe, *args, cwd=folder)
    assert result.returncode == code and words in result.stderr and result.stdout == ""
    assert [n for n in os.listdir(folder) if n.endswith(".csv")] == []


def test_pulled_adapter_ends_at_once(cap):
    bed, folder, exe = cap
    dev = bed.add_port(3)
    proc = bed.start_exe(exe, "--port", "COM3", "--baud", "1200", "--json", cwd=folder)
    wait_event(bed, proc, "listening")
    import subprocess
    sender = subprocess.Popen([DEVSIM, "--quiet", "--baud", "1200", "--count", "200", "--length", "20",
                               "--hold-ms", "0", dev], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_event(bed, proc, "started")
        time.sleep(0.6)
        bed.unplug_port(3)
        pulled = time.monotonic()
        ev = wait_event(bed, proc, "finished")
        assert time.monotonic() - pulled < 3
        assert wait_exit(proc) == 1
    finally:
        sender.kill()
        sender.wait()
    assert ev["outcome"] == "incomplete" and "the port failed" in ev["message"]
    with open(os.path.join(folder, ev["path"].rsplit("\\", 1)[1]), "rb") as f:
        assert f.read() == crlf([gen(i, 20) for i in range(1, ev["records"] + 1)])
