"""km740cap as a station, natively over socat pty pairs: the port stays open across data sets,
so nothing the device sends between them is missed; lines outside a data set are counted,
never filed; a stop keeps every record that reached the port; no file exists before its STX."""
import json
import os
import signal
import time

import pytest

from caprun import NAME, Run, data_set, paced, records_of_range


def open_dev(line):
    return os.open(line.dev, os.O_WRONLY | os.O_NOCTTY)


# Two data sets of 20 records at 9600 bit/s: in one write, and 50, 300 and 600 ms apart.
@pytest.mark.parametrize("gap", [None, 0.05, 0.3, 0.6], ids=["one write", "50 ms", "300 ms", "600 ms"])
def test_back_to_back_data_sets_are_both_kept(tmp_path, line, gap):
    run = Run(["--port", line.app, "--baud", "9600", "--json", "--count", "2"], str(tmp_path))
    run.event("listening")
    first, second = data_set(20, 20), data_set(20, 20, first=21)
    fd = open_dev(line)
    if gap is None:
        os.write(fd, first + second)
    else:
        paced(fd, first, 9600)
        time.sleep(gap)
        paced(fd, second, 9600)
    done = [run.event("finished"), run.event("finished")]
    assert run.finish() == 0, run.err
    os.close(fd)
    assert [(e["outcome"], e["records"]) for e in done] == [("complete", 20), ("complete", 20)]
    assert [open(e["path"], "rb").read() for e in done] == [records_of_range(1, 20, 20), records_of_range(21, 20, 20)]
    assert all(NAME.match(os.path.basename(e["path"])) for e in done)


R = records_of_range
BROKEN = b"\x02\r\n" + R(1, 15, 12) + b"x\r\n" + R(16, 15, 12) + b"\x03\r\n"

# (name, bytes the device sends, extra args, exit status, (outcome, records) per data set,
#  each file's bytes, skipped lines in all)
STREAM_ROWS = [
    ("noise before STX", b"BANNER v1.2\r\n\x7f\xfe\x00junk\r\n\r\n" + data_set(3, 10), [], 0,
     [("complete", 3)], [R(1, 3, 10)], 2),
    ("the rest of a broken data set is skipped, not data sets", BROKEN, ["--count", "3", "--wait", "2"], 5,
     [("incomplete", 15)], [R(1, 15, 12)], 16),
    ("an STX line inside ends the data set and begins the next",
     b"\x02\r\n" + R(1, 2, 9) + data_set(1, 9, first=3), ["--count", "2"], 1,
     [("incomplete", 2), ("complete", 1)], [R(1, 2, 9), R(3, 1, 9)], 0),
    ("a line longer than the buffer ends the data set; the stream goes on",
     b"\x02\r\n" + R(1, 1, 9) + b"L" * 3000 + b"\r\n" + R(2, 1, 9) + b"\x03\r\n" + data_set(2, 9, first=5),
     ["--count", "2"], 1, [("incomplete", 1), ("complete", 2)], [R(1, 1, 9), R(5, 2, 9)], 2),
    ("the tail of a long line is never an STX", b"G" * 2100 + b"\x02\r\n" + R(1, 2, 9) + b"\x03\r\n",
     ["--wait", "1"], 5, [], [], 3),
    ("nothing at all: no data set within --wait", b"", ["--wait", "1"], 5, [], [], 0),
    ("noise only: no data set, no file", b"hello\r\nworld\r\n", ["--wait", "1"], 5, [], [], 2),
]


@pytest.mark.parametrize("name,sent,args,code,outcomes,files,skipped", STREAM_ROWS, ids=[r[0] for r in STREAM_ROWS])
def test_lines_outside_a_data_set_are_counted_and_raw_keeps_every_byte(tmp_path, line, name, sent, args, code,
                                                                         outcomes, files, skipped):
    out = tmp_path / "out"
    out.mkdir()
    raw = tmp_path / "raw.bin"
    run = Run(["--port", line.app, "--baud", "38400", "--json", "--out", str(out), "--raw", str(raw), *args],
              str(tmp_path))
    run.event("listening")
    fd = open_dev(line)
    os.write(fd, sent)
    assert run.finish(timeout=15) == code, run.err
    os.close(fd)
    events = [json.loads(x) for x in run.out]
    done = [e for e in events if e["event"] == "finished"]
    assert [(e["outcome"], e["records"]) for e in done] == outcomes
    assert [open(e["path"], "rb").read() for e in done] == files
    assert sum(e["lines"] for e in events if e["event"] == "skipped") == skipped
    assert sorted(os.listdir(out)) == sorted(os.path.basename(e["path"]) for e in done)
    assert raw.read_bytes() == sent


# A stop 60 ms after the last byte reached the port: every record is kept, and a data set
# whose ETX came is complete.
@pytest.mark.parametrize("etx", [False, True], ids=["after the 10th record", "after ETX"])
def test_a_stop_keeps_every_record_received(tmp_path, line, etx):
    run = Run(["--port", line.app, "--baud", "9600", "--json", "--continuous"], str(tmp_path))
    run.event("listening")
    fd = open_dev(line)
    paced(fd, b"\x02\r\n" + R(1, 10, 20) + (b"\x03\r\n" if etx else b""), 9600)
    time.sleep(0.06)
    run.proc.send_signal(signal.SIGTERM)
    assert run.finish() == 130, run.err
    os.close(fd)
    (done,) = [json.loads(x) for x in run.out if '"finished"' in x]
    assert (done["outcome"], done["records"]) == ("complete" if etx else "stopped", 10)
    assert open(done["path"], "rb").read() == R(1, 10, 20)
    assert NAME.match(os.path.basename(done["path"]))


def test_idle_station_makes_no_file_and_hears_data_sets_around_30_seconds(tmp_path, line):
    """Idle for 29.5 s with the folder watched, then data sets 29.5, 30.0 and 30.5 s after
    the port opened (where a 30-second idle cycle would reopen the port), then watched to
    35.5 s: only the three files, each named .csv only once whole."""
    out = tmp_path / "out"
    out.mkdir()
    run = Run(["--port", line.app, "--baud", "38400", "--json", "--continuous", "--out", str(out)], str(tmp_path))
    run.event("listening")
    opened = time.monotonic()
    fd = open_dev(line)
    sends = [29.5, 30.0, 30.5]
    seen = set()
    while time.monotonic() - opened < 35.5:
        names = set(os.listdir(out))
        for name in names - seen:
            if name.endswith(".csv"):
                # A .csv appears only whole: its data set's records are all in it.
                assert len(open(os.path.join(out, name), "rb").read()) == 3 * 8
        seen |= names
        if sends and time.monotonic() - opened >= sends[0]:
            os.write(fd, data_set(3, 6))
            sends.pop(0)
        elif sends and time.monotonic() - opened < 29.4:
            assert names == set(), "a file before any STX: %s" % names
        time.sleep(0.01)
    run.proc.send_signal(signal.SIGTERM)
    assert run.finish() == 130, run.err
    os.close(fd)
    done = [json.loads(x) for x in run.out if '"finished"' in x]
    assert [(e["outcome"], e["records"]) for e in done] == [("complete", 3)] * 3
    assert sorted(os.listdir(out)) == sorted(os.path.basename(e["path"]) for e in done)


def test_a_station_goes_on_after_a_file_that_cannot_be_made(tmp_path, line):
    """All 99 names of the next seconds taken: that data set fails (its lines are then outside
    one) and is numbered as the first; the station goes on and files the next."""
    out = tmp_path / "out"
    out.mkdir()
    run = Run(["--port", line.app, "--baud", "38400", "--json", "--continuous", "--out", str(out)], str(tmp_path))
    run.event("listening")
    now = time.time()
    taken = set()
    for second in range(4):
        base = time.strftime("KM-740_%m%d%Y_%H%M%S", time.localtime(now + second))
        for n in range(1, 100):
            name = base + (".csv" if n == 1 else "(%d).csv" % n)
            (out / name).write_bytes(b"taken")
            taken.add(name)
    fd = open_dev(line)
    os.write(fd, data_set(2, 8))
    failed = run.event("finished")
    while time.time() < now + 4.2:
        time.sleep(0.05)
    os.write(fd, data_set(3, 8))
    done = run.event("finished")
    run.proc.send_signal(signal.SIGTERM)
    assert run.finish() == 130, run.err
    os.close(fd)
    assert (failed["dataSet"], failed["outcome"], failed["path"]) == (1, "file-failed", None)
    assert "All 99 file names" in failed["message"]
    assert (done["dataSet"], done["outcome"], done["records"]) == (2, "complete", 3)
    assert open(done["path"], "rb").read() == R(1, 3, 8)
    assert set(os.listdir(out)) - taken == {os.path.basename(done["path"])}
