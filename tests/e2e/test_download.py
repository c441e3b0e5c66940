"""Whole downloads by the real program under Wine, devsim playing the device on a virtual COM
port: the file's exact bytes and its name from the begin step's local time, the folder choice,
numbered names, Cancel, the ways a data set ends early, closing mid-download, large data sets."""

import os
import time

import pytest

from conftest import REPO, wait_exit, wait_for
from tooldrive import (Bench, base_name, bench, crlf, gen, name_time, outputs,  # noqa: F401
                       read)

# Records as a device may send them: commas and spaces, 0xFF, Shift-JIS text ("測定値" and a
# half-width katakana), a lone CR, a Ctrl-Z, a record longer than the window shows (127), and
# one with a NUL, of which only the part before the NUL is kept. 0x11 and 0x13 are left out:
# with XON/XOFF on the driver takes them as flow control.
RECORDS = [
    b"No.001,2026/12/07,10:15:32,23.45,mm,OK",
    b"  spaced , fields ,, ",
    b"\xff\xfe,\x80\x9f,\x7f",
    b"\x91\xaa\x92\xe8\x92\x6c,\xb1,\x82\xa0",
    b"cr\rinside,\x1a,\x1b",
    b"L" * 300,
    b"AB\x00CD",
    b"No.002,last",
]
EXPECTED = [r.split(b"\0")[0] for r in RECORDS]


def record_file(tmp_path, records):
    path = tmp_path / "records.txt"
    path.write_bytes(b"".join(r + b"\r\n" for r in records))
    return str(path)


@pytest.mark.parametrize("store,where", [(1, 0), (0, 1)], ids=["Desktop", "My Documents"])
def test_complete_download_is_byte_exact_and_named_by_its_begin(bench, tmp_path, store, where):
    bench.open(store=store)
    folder, other = bench.bed.folders()[where], bench.bed.folders()[1 - where]
    # An empty line between records is skipped; what follows ETX is never read.
    source = record_file(tmp_path, RECORDS[:3] + [b""] + RECORDS[3:])
    bench.start()
    path = bench.wait_file(folder)
    assert read(path) == b""
    bench.send("--file", source, "--baud", 38400,
               "--after-etx", r"AFTER,ETX\r\nmore\r\n")
    bench.wait_idle()

    assert read(path) == crlf(EXPECTED)
    assert outputs(other) == []
    second, number = name_time(os.path.basename(path))
    assert number == 1
    assert int(second) in bench.begin_seconds(), (os.path.basename(path), bench.clicked)
    bench.assert_idle()
    assert bench.status() == "Complete."
    assert bench.last_record() == ""


# Names already taken in the destination for every second the begin step may fall in, and the
# number the new file must get: the first free candidate in order, gaps included.
TAKEN = [
    ("base taken", [1], 2),
    ("base and 2 taken", [1, 2], 3),
    ("base and 3 taken", [1, 3], 2),
    ("2 to 10 taken, base free", list(range(2, 11)), 1),
]


@pytest.mark.parametrize("taken,number", [c[1:] for c in TAKEN], ids=[c[0] for c in TAKEN])
def test_taken_names_get_the_first_free_number(bench, taken, number):
    bench.open()
    desktop = bench.bed.folders()[0]
    now = time.time()
    made = {}
    for s in range(int(now) - 1, int(now) + 6):
        for n in taken:
            name = base_name(s) + (".csv" if n == 1 else "(%d).csv" % n)
            made[name] = b"kept %d\r\n" % n
            with open(os.path.join(desktop, name), "wb") as f:
                f.write(made[name])
    bench.start()
    path = wait_for(lambda: set(outputs(desktop)) - set(made), timeout=5, step=0.01)
    assert len(path) == 1, path
    name = path.pop()
    bench.send("--count", 3, "--length", 12, "--flood")
    bench.wait_idle()

    second, got = name_time(name)
    assert got == number and int(second) in bench.begin_seconds()
    assert read(os.path.join(desktop, name)) == crlf(gen(i, 12) for i in (1, 2, 3))
    for old, data in made.items():
        assert read(os.path.join(desktop, old)) == data, old + " was changed"


def test_cancel_after_records_deletes_the_file(bench):
    bench.open()
    desktop = bench.bed.folders()[0]
    bench.start()
    path = bench.wait_file(desktop)
    # 1200 baud: 120 bytes a second, about five records of 20 bytes.
    sim = bench.sim("--count", 50, "--length", 20, "--baud", 1200)
    assert wait_for(lambda: read(path).count(b"\r\n") >= 3, timeout=10)
    bench.bed.ui_ok("click", "start")
    bench.wait_idle(3000)
    assert not os.path.exists(path)
    assert outputs(desktop) == []
    bench.assert_idle()
    assert bench.status() == "Ready."
    # The last record received stays on show (OCR sometimes reads a space before a comma).
    shown = bench.last_record().replace(" ", "")
    assert shown in {gen(i, 20).decode() for i in range(3, 51)}, shown
    sim.kill()


# (name, devsim arguments, records expected in the file, status): a data set that ends early
# keeps what came before; lines cut into 3-byte pieces across reads still arrive whole.
ENDINGS = [
    ("bad first line", ["--fault", "bad-first", "--count", 4], [], "Timeout error."),
    ("no STX", ["--fault", "no-stx", "--count", 4], [], "Timeout error."),
    ("one-byte record", ["--fault", "one-byte", "--count", 6], [1, 2, 3], "Timeout error."),
    ("lines split", ["--fault", "split", "--count", 4], [1, 2, 3, 4], "Complete."),
]


@pytest.mark.parametrize("args,kept,status", [c[1:] for c in ENDINGS], ids=[c[0] for c in ENDINGS])
def test_how_a_data_set_ends(bench, args, kept, status):
    bench.open()
    desktop = bench.bed.folders()[0]
    bench.start()
    path = bench.wait_file(desktop)
    t = time.monotonic()
    sim = bench.sim("--length", 16, "--baud", 38400, "--hold-ms", 200, *args)
    bench.wait_idle(15000)
    # A wrong line ends the download where it stands, long before the 30 s silence limit.
    assert time.monotonic() - t < 5
    bench.sent(sim)
    assert read(path) == crlf(gen(i, 16) for i in kept)
    bench.assert_idle()
    assert bench.status() == status


def test_closing_the_window_mid_download_keeps_the_records(bench):
    proc = bench.open()
    desktop = bench.bed.folders()[0]
    bench.start()
    path = bench.wait_file(desktop)
    assert wait_for(bench.port_holders, timeout=3), "the program does not hold its port"
    bench.sim("--count", 60, "--length", 20, "--baud", 1200)
    assert wait_for(lambda: read(path).count(b"\r\n") >= 4, timeout=10)
    bench.bed.ui_ok("close")
    assert wait_exit(proc) == 0

    content = read(path)
    got = content.split(b"\r\n")
    assert got[-1] == b"", "the file ends inside a record"
    got = got[:-1]
    assert len(got) >= 4
    assert got == [gen(i, 20) for i in range(1, len(got) + 1)]
    assert bench.port_holders() == set(), "the port is still held"


# 2000 records of 40 bytes (84 kB) at the line's pace and as fast as the pty takes them.
@pytest.mark.parametrize("pace", [["--baud", 38400], ["--flood"]], ids=["38400 baud", "flood"])
def test_large_data_set_arrives_whole(bench, pace):
    bench.open(baud=38400)
    desktop = bench.bed.folders()[0]
    bench.start()
    path = bench.wait_file(desktop)
    records, sent = bench.send("--count", 2000, "--length", 40, *pace)
    assert records == 2000
    bench.wait_idle(30000)
    assert read(path) == crlf(gen(i, 40) for i in range(1, 2001))
    assert bench.status() == "Complete."


def test_sample_data_set_is_complete_soon_after_its_last_line(bench, tmp_path, record_property):
    """The bench case: the sample data set at 9600 baud. "Complete." must follow the ETX line
    within the two fixed steps (a 100 ms poll, then 250 ms to the finish) and some slack."""
    sample = os.path.join(REPO, "examples", "sample.csv")
    expected = [r for r in read(sample).replace(b"\r\n", b"\n").split(b"\n") if r]
    bench.open()
    desktop = bench.bed.folders()[0]
    stamp = tmp_path / "etx"
    bench.start()
    path = bench.wait_file(desktop)
    sim = bench.sim("--file", sample, "--baud", 9600, "--hold-ms", 200,
                    "--stamp-file", stamp)
    bench.bed.ui_ok("wait-caption", "start", "Start", 15000)
    done = time.time()
    records, sent = bench.sent(sim)
    etx_to_complete = done - float(stamp.read_text())
    start_to_complete = done - bench.clicked[0]
    assert read(path) == crlf(expected) and records == len(expected)
    assert bench.status() == "Complete."
    assert 0.3 <= etx_to_complete < 1.5
    figures = {"records": records, "bytes": sent, "start_to_complete_s": round(start_to_complete, 3),
               "etx_to_complete_s": round(etx_to_complete, 3)}
    for k, v in figures.items():
        record_property(k, v)
    print("sample download:", figures)
