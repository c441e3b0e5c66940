"""km740cap.exe under Wine: a few rows of the native table (tests/cap) against the real
Win32 serial calls, with a virtual COM port and devsim as the device; and what only Windows
has: a Ctrl+C, the system's texts, the console's code page."""
import json
import os
import shutil
import signal
import subprocess
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
    subprocess.run([DEVSIM, "--quiet", "--hold-ms", "300", *args, dev], check=True,
                   stdout=subprocess.DEVNULL, timeout=60)


def test_two_data_sets_then_the_plain_lines(cap):
    bed, folder, exe = cap
    dev = bed.add_port(3)
    proc = bed.start_exe(exe, "--port", "COM3", "--baud", "38400", "--count", "2", "--json",
                         "--out", bed.windows_path(folder), cwd=folder)
    # The port stays open across data sets: one listening event for both.
    wait_event(bed, proc, "listening")
    for n, length in ((1, 12), (2, 30)):
        devsim(dev, "--baud", "38400", "--count", "4", "--length", str(length))
        wait_event(bed, proc, "finished", n)
    assert wait_exit(proc) == 0
    assert len([e for e in events(bed, proc) if e["event"] == "listening"]) == 1
    started = [e for e in events(bed, proc) if e["event"] == "started"]
    assert [e["partPath"] for e in started] == [e["path"] + ".part" for e in started]
    done = [e for e in events(bed, proc) if e["event"] == "finished"]
    assert [(e["outcome"], e["records"]) for e in done] == [("complete", 4), ("complete", 4)]
    assert [e["path"] for e in done] == [e["path"] for e in started]
    for e, length in zip(done, (12, 30)):
        assert e["path"].startswith(bed.windows_path(folder) + "\\")
        with open(os.path.join(folder, e["path"].rsplit("\\", 1)[1]), "rb") as f:
            assert f.read() == crlf([gen(i, length) for i in range(1, 5)])
    assert not [n for n in os.listdir(folder) if n.endswith(".part")]


@pytest.mark.parametrize("args,code,words", [
    (["--port", "COM9", "--baud", "9600"], 3, "COM9: the port cannot be opened or configured: "),
    (["--port", "COM3", "--baud", "9601"], 2, "--baud 9601: not one of"),
    # Told at the start, not at the first data set.
    (["--port", "COM3", "--baud", "9600", "--out", "C:\\no\\such\\folder"], 4, "C:\\no\\such\\folder"),
])
def test_refusals(cap, args, code, words):
    bed, folder, exe = cap
    bed.add_port(3)
    result = bed.run(exe, *args, cwd=folder)
    assert result.returncode == code and words in result.stderr and result.stdout == ""
    # The system's text (FormatMessage ends it with CR LF) is trimmed: each line ends with the
    # program's own LF, made CR LF by the text-mode stream, and holds no other break.
    lines = result.stderr.split("\r\n")
    assert lines[-1] == "" and not [n for n in lines if "\r" in n or "\n" in n or n.endswith(" ")], lines
    assert [n for n in os.listdir(folder) if ".csv" in n] == []


def test_ctrl_c_stops_and_keeps_every_record(cap):
    """Wine turns SIGINT into the console's Ctrl+C event (CTRL_C_EVENT to the handler)."""
    bed, folder, exe = cap
    dev = bed.add_port(3)
    proc = bed.start_exe(exe, "--port", "COM3", "--baud", "38400", "--json", cwd=folder)
    wait_event(bed, proc, "listening")
    devsim(dev, "--baud", "38400", "--count", "6", "--length", "20", "--fault", "silence")
    wait_event(bed, proc, "started")
    deadline = time.monotonic() + 5
    while not any(e["event"] == "finished" for e in events(bed, proc)) and time.monotonic() < deadline:
        os.kill(proc.pid, signal.SIGINT)
        if proc.poll() is not None:
            break
        time.sleep(0.2)
    assert wait_exit(proc) == 130
    ev = wait_event(bed, proc, "finished")
    assert (ev["outcome"], ev["records"]) == ("stopped", 3)
    with open(os.path.join(folder, ev["path"].rsplit("\\", 1)[1]), "rb") as f:
        assert f.read() == crlf([gen(i, 20) for i in range(1, 4)])


def test_plain_line_in_the_oem_code_page(cap):
    """A redirected plain line is in the OEM code page, as cmd's for /f reads it: the folder
    Jos<e-acute> is 0xE9 in the ANSI code page (1252) and 0x82 in the OEM one (437 and 850
    alike)."""
    bed, folder, exe = cap
    dev = bed.add_port(3)
    out = os.path.join(folder, "Jos\u00e9")
    os.makedirs(out)
    proc = bed.start_exe(exe, "--port", "COM3", "--baud", "38400", "--out", bed.windows_path(out), cwd=folder)
    time.sleep(1.0)  # no listening event without --json; devsim waits for nothing either
    devsim(dev, "--baud", "38400", "--count", "2", "--length", "10")
    assert wait_exit(proc) == 0
    with open(proc.out_path, "rb") as f:
        data = f.read()
    assert data.startswith(b"complete 2 24 ") and b"\\Jos\x82\\KM-740_" in data, data


def test_pulled_adapter_ends_at_once(cap):
    bed, folder, exe = cap
    dev = bed.add_port(3)
    proc = bed.start_exe(exe, "--port", "COM3", "--baud", "1200", "--json", cwd=folder)
    wait_event(bed, proc, "listening")
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
