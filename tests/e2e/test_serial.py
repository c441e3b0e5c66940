"""The program's own serial link on real (Wine) COM ports: the scan finds the bed's port, absent
and held ports are refused at once, and bytes written by the device side come out of
CommRead/RxFill/RxNextLine as exact lines. serialcheck.exe runs the link; see its header."""

import os
import re
import time

import pytest

from conftest import built_exe, wait_exit

# CommResult codes as serialcheck prints them.
COMM_OK, COMM_OPEN_FAILED, COMM_API_FAILED, COMM_BAD_PORT, COMM_BAD_BAUD = 0, 4, 5, 6, 7

# Measured in-process: a refused open on Wine takes well under a millisecond, on Windows a few.
REFUSAL_LIMIT_MS = 100.0


def check(bed, *args):
    # first, probe and start only look (start closes the port again) and always print.
    r = bed.run_query(built_exe("serialcheck"), *[str(a) for a in args], timeout=30)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout.replace("\r\n", "\n").strip()


def probe(bed, n):
    m = re.fullmatch(r"PROBE (\d) MS ([\d.]+)", check(bed, "probe", n))
    assert m, "unexpected probe output"
    return int(m.group(1)), float(m.group(2))


def start(bed, n, baud, flow=1):
    m = re.fullmatch(r"START (-?\d+) MS ([\d.]+) OPEN (\d)", check(bed, "start", n, baud, flow))
    assert m
    result = int(m.group(1))
    # Open right after the start exactly when it succeeded: no failure leaves the port open.
    assert m.group(3) == ("1" if result == COMM_OK else "0")
    return result, float(m.group(2))


def device(bed, n):
    """The device side of COMn, opened for writing raw bytes."""
    return open(bed.port_paths(n)[1], "wb", buffering=0)


def read_lines(bed, n, pieces, count, flow=1, before=b"", pause=0.15, timeout_ms=4000):
    """Starts serialcheck's read loop on COMn, writes `before` ahead of the start and each of
    `pieces` after it with a pause between, and returns (lines as bytes, whole output)."""
    dev = device(bed, n)
    try:
        if before:
            dev.write(before)
            time.sleep(0.2)  # let socat hand the bytes to the program's side
        p = bed.start_exe(built_exe("serialcheck"), "read",
                          *[str(a) for a in (n, 9600, count, timeout_ms, flow)])
        # CommStart purges: only bytes written after it reported count as received.
        assert bed.wait_output(p, "START 0\n"), bed.output(p)
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(pause)
            dev.write(piece)
        wait_exit(p, timeout=timeout_ms / 1000 + 10)
    finally:
        dev.close()
    out = bed.output(p)
    lines = []
    for length, hexed in re.findall(r"^LINE (\d+) ([0-9a-f]*)$", out, re.M):
        line = bytes.fromhex(hexed)
        assert len(line) == int(length)
        lines.append(line)
    return lines, out


def test_first_available_finds_the_lowest_bed_port(fresh_bed):
    assert re.fullmatch(r"FIRST 0 MS [\d.]+", check(fresh_bed, "first"))
    fresh_bed.add_port(5)
    assert check(fresh_bed, "first").startswith("FIRST 5 ")
    fresh_bed.add_port(3)
    assert check(fresh_bed, "first").startswith("FIRST 3 ")
    with fresh_bed.port_held(3):
        assert check(fresh_bed, "first").startswith("FIRST 5 ")


def test_absent_port_is_refused_at_once(fresh_bed):
    usable, ms = probe(fresh_bed, 9)
    assert usable == 0
    assert ms < REFUSAL_LIMIT_MS
    result, ms = start(fresh_bed, 9, 9600)
    assert result == COMM_OPEN_FAILED
    assert ms < REFUSAL_LIMIT_MS
    # The whole scan of 16 absent ports stays well under a second as well.
    m = re.fullmatch(r"FIRST 0 MS ([\d.]+)", check(fresh_bed, "first"))
    assert m and float(m.group(1)) < 10 * REFUSAL_LIMIT_MS


def test_held_port_is_refused_and_usable_once_released(fresh_bed):
    fresh_bed.add_port(4)
    with fresh_bed.port_held(4):
        usable, ms = probe(fresh_bed, 4)
        assert usable == 0 and ms < REFUSAL_LIMIT_MS
        assert start(fresh_bed, 4, 9600)[0] == COMM_OPEN_FAILED
    assert probe(fresh_bed, 4)[0] == 1
    assert start(fresh_bed, 4, 9600)[0] == COMM_OK


# (port, baud, expected CommStart result) on a bed with COM2 present.
START_CASES = [
    (2, 1200, COMM_OK), (2, 2400, COMM_OK), (2, 4800, COMM_OK),
    (2, 9600, COMM_OK), (2, 19200, COMM_OK), (2, 38400, COMM_OK),
    (2, 300, COMM_BAD_BAUD), (0, 9600, COMM_BAD_PORT), (17, 9600, COMM_BAD_PORT),
    (6, 9600, COMM_OPEN_FAILED),
]


def test_start_results_on_the_real_driver(fresh_bed):
    fresh_bed.add_port(2)
    got = [(n, baud, start(fresh_bed, n, baud)[0]) for n, baud, _ in START_CASES]
    assert got == START_CASES
    assert probe(fresh_bed, 2)[0] == 1  # every start closed the port again


# (name, pieces written with pauses, lines expected)
STREAMS = [
    ("NUL, 0xFF and Shift-JIS bytes", [b"A\x00B\xff\x82\xa0\x93\xfa\r\n"], [b"A\x00B\xff\x82\xa0\x93\xfa"]),
    ("CR without LF stays in the line", [b"X\rY\r\n"], [b"X\rY"]),
    ("line split across reads", [b"AB", b"C\r", b"\nDE", b"F\r\n"], [b"ABC", b"DEF"]),
    ("empty line and data set", [b"\x02\r\n\r\n1,2\r\n\x03\r\n"], [b"\x02", b"", b"1,2", b"\x03"]),
    ("longest line", [b"L" * 2046 + b"\r\n"], [b"L" * 2046]),
    ("every byte but XON and XOFF",
     [bytes(b for b in range(256) if b not in (0x0A, 0x0D, 0x11, 0x13)) + b"\r\n"],
     [bytes(b for b in range(256) if b not in (0x0A, 0x0D, 0x11, 0x13))]),
]


@pytest.mark.parametrize("pieces,expected", [s[1:] for s in STREAMS], ids=[s[0] for s in STREAMS])
def test_bytes_arrive_as_exact_lines(fresh_bed, pieces, expected):
    fresh_bed.add_port(3)
    lines, out = read_lines(fresh_bed, 3, pieces, len(expected))
    assert lines == expected, out[:400]
    assert "END %d BUFFERED 0\n" % len(expected) in out
    assert out.endswith("OPEN 0\n")


# With fInX/fOutX on, the driver takes 0x11 and 0x13 as flow control, as Windows does.
@pytest.mark.parametrize("flow,expected", [(1, b"abc"), (0, b"a\x11b\x13c"), (2, b"abc")],
                         ids=["switch 1", "switch 0", "switch 2"])
def test_flow_control_switch_reaches_the_driver(fresh_bed, flow, expected):
    fresh_bed.add_port(3)
    lines, out = read_lines(fresh_bed, 3, [b"a\x11b\x13c\r\n"], 1, flow=flow)
    assert lines == [expected], out


def test_bytes_sent_before_the_start_are_purged(fresh_bed):
    fresh_bed.add_port(3)
    lines, out = read_lines(fresh_bed, 3, [b"NEW\r\n"], 1, before=b"OLD\r\nOL")
    assert lines == [b"NEW"], out


def test_unplugged_port_fails_reads_and_closes_cleanly(fresh_bed):
    fresh_bed.add_port(3)
    p = fresh_bed.start_exe(built_exe("serialcheck"), "read", "3", "9600", "1", "1500", "1")
    assert fresh_bed.wait_output(p, "START 0\n"), fresh_bed.output(p)
    fresh_bed.unplug_port(3)
    wait_exit(p)
    out = fresh_bed.output(p)
    assert "FILL %d\n" % COMM_API_FAILED in out
    assert out.endswith("END 0 BUFFERED 0\nOPEN 0\n")
    assert probe(fresh_bed, 3)[0] == 0
