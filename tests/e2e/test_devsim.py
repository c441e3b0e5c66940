# End-to-end checks of the device simulator over a socat pty pair: the exact byte stream of
# file and generated records, every fault's stream shape, pacing, XON/XOFF and exit codes.
# DEVSIM names the binary (default build/host/devsim); skips when socat or the binary is missing.
import os
import select
import shutil
import signal
import subprocess
import time
import tty

import pytest

from devsim_records import crlf as lines, gen

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEVSIM = os.environ.get("DEVSIM", os.path.join(ROOT, "build", "host", "devsim"))

STX = b"\x02\r\n"
ETX = b"\x03\r\n"

needs_devsim = pytest.mark.skipif(not os.access(DEVSIM, os.X_OK),
                                  reason="devsim not built: " + DEVSIM)
needs_socat = pytest.mark.skipif(shutil.which("socat") is None, reason="socat not installed")


@pytest.fixture
def pair(tmp_path):
    """A socat pty pair: yields (reader fd on end A, path of end B for devsim)."""
    a, b = str(tmp_path / "pA"), str(tmp_path / "pB")
    proc = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 5
    while not (os.path.exists(a) and os.path.exists(b)):
        assert time.monotonic() < deadline, "socat made no pty pair"
        time.sleep(0.01)
    fd = os.open(a, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    yield fd, b
    os.close(fd)
    os.kill(proc.pid, signal.SIGTERM)
    proc.wait(timeout=5)


def run(pair, args, on_data=None):
    """Runs devsim on end B and reads end A until it exits.

    Returns (bytes received, list of (time since start, chunk) per read, rc, stdout, stderr).
    on_data(total_bytes_so_far, now) may write flow-control bytes to end A.
    """
    fd, dev = pair
    t0 = time.monotonic()
    proc = subprocess.Popen([DEVSIM, *args, dev], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    data, reads = bytearray(), []
    exited_at = None
    while True:
        if exited_at is None and proc.poll() is not None:
            exited_at = time.monotonic()
        ready, _, _ = select.select([fd], [], [], 0.005)
        if ready:
            chunk = os.read(fd, 65536)
            data += chunk
            reads.append((time.monotonic() - t0, chunk))
        if on_data:
            on_data(len(data), time.monotonic())
        # devsim's last bytes still pass through socat after it exits: on a busy machine one
        # empty look lost the ETX line. Done once the line has been quiet for a while since.
        last = reads[-1][0] + t0 if reads else t0
        if exited_at is not None and not ready and time.monotonic() - max(exited_at, last) > 0.3:
            break
        assert time.monotonic() - t0 < 15, "devsim did not finish"
    out, err = proc.communicate()
    return bytes(data), reads, proc.returncode, out.decode(), err.decode()


def sent_line(records, nbytes):
    return "sent records=%d bytes=%d\n" % (records, nbytes)


@needs_devsim
@needs_socat
def test_file_records_arrive_byte_exact(pair, tmp_path):
    records = [
        b"No.001,2026/12/07,10:15:32,23.45,mm,OK",
        b"\x00\xff\x00 nul and ff \xff",
        b"\x91\xaa\x92\xe8,\x95\x5c\x8e\xa6",  # Shift-JIS, one trail byte is 0x5C
        b" a , b ,, c ",
        b"",  # an empty line is sent as CR LF alone
        b"a lone\rCR stays",
        b"CR CR LF keeps one CR\r",
        b"last line without newline",
    ]
    # Mixed line endings in the file: one LF or CR LF is stripped per line, nothing else is.
    body = (records[0] + b"\r\n" + records[1] + b"\n" + records[2] + b"\r\n" + records[3] + b"\n"
            + b"\n" + records[5] + b"\n" + records[6] + b"\r\n" + records[7])
    expected_records = records
    path = tmp_path / "records.csv"
    path.write_bytes(body)
    data, _, rc, out, _ = run(pair, ["--file", str(path), "--flood", "--hold-ms", "50", "--quiet"])
    expected = STX + lines(expected_records) + ETX
    assert rc == 0
    assert data == expected
    assert out == sent_line(len(expected_records), len(expected))


@needs_devsim
@needs_socat
@pytest.mark.parametrize("count,length", [(1, 2), (3, 7), (30, 5), (27, 40), (2, 3000)])
def test_generated_records_reproducible(pair, count, length):
    data, _, rc, out, _ = run(pair, ["--count", str(count), "--length", str(length), "--flood",
                                     "--hold-ms", "50", "--quiet"])
    records = [gen(i, length) for i in range(1, count + 1)]
    assert all(len(r) == length for r in records)
    assert rc == 0
    assert data == STX + lines(records) + ETX
    assert out == sent_line(count, len(data))


R = [gen(i, 12) for i in range(1, 6)]  # five records, so "half" is two
FAULT_CASES = [
    # (extra args, expected stream, record lines counted)
    ([], STX + lines(R) + ETX, 5),
    (["--fault", "no-stx"], lines(R) + ETX, 5),
    (["--fault", "bad-first"], b"NO STX\r\n" + STX + lines(R) + ETX, 6),
    (["--fault", "one-byte"], STX + lines(R[:2]) + b"X\r\n" + lines(R[2:]) + ETX, 6),
    (["--fault", "silence"], STX + lines(R[:2]), 2),
    (["--fault", "no-crlf"], STX + lines(R[:4]) + R[4], 5),
    (["--fault", "split", "--split-ms", "1"], STX + lines(R) + ETX, 5),
    (["--after-etx", "\\r\\nAB\\x00\\xff\\\\"], STX + lines(R) + ETX + b"\r\nAB\x00\xff\\", 5),
    (["--fault", "no-stx,one-byte"], lines(R[:2]) + b"X\r\n" + lines(R[2:]) + ETX, 6),
    (["--fault", "no-crlf", "--after-etx", "AB"], STX + lines(R[:4]) + R[4], 5),
]


@needs_devsim
@needs_socat
@pytest.mark.parametrize("args,expected,nrec", FAULT_CASES)
def test_fault_stream_shape(pair, args, expected, nrec):
    data, _, rc, out, _ = run(pair, ["--count", "5", "--length", "12", "--flood", "--hold-ms",
                                     "50", "--quiet", *args])
    assert rc == 0
    assert data == expected
    assert out == sent_line(nrec, len(expected))


@needs_devsim
@needs_socat
def test_silence_stays_open_for_hold(pair):
    t0 = time.monotonic()
    data, reads, rc, _, _ = run(pair, ["--count", "4", "--length", "10", "--flood",
                                       "--fault", "silence", "--hold-ms", "600", "--quiet"])
    assert rc == 0
    assert data == STX + lines([gen(1, 10), gen(2, 10)])
    assert reads[-1][0] < 0.3
    assert time.monotonic() - t0 >= 0.6


def splitmix64(seed, n):
    """The first n raw bytes of devsim's garbage generator (splitmix64, low byte of each draw)."""
    mask, state, out = (1 << 64) - 1, seed, bytearray()
    for _ in range(n):
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        out.append((z ^ (z >> 31)) & 0xFF)
    return bytes(out)


def expected_garbage(seed, length):
    raw, out = splitmix64(seed, length * 2), bytearray()
    for c in raw:
        if len(out) == length:
            break
        if c == 0x0A and out and out[-1] == 0x0D:
            continue  # a draw that would complete a CR LF pair is dropped
        out.append(c)
    return bytes(out)


@needs_devsim
@needs_socat
def test_garbage_is_seeded_and_holds_no_line(pair):
    length = 3000
    # A seed whose raw draws hold a CR LF pair, so the filter is really exercised.
    seed = next(s for s in range(1, 1000) if b"\r\n" in splitmix64(s, length))
    tail = STX + lines([gen(1, 8), gen(2, 8)]) + ETX
    seen = []
    for sd in (seed, seed, seed + 1):
        data, _, rc, _, _ = run(pair, ["--count", "2", "--length", "8", "--flood", "--quiet",
                                       "--hold-ms", "0", "--fault", "garbage", "--seed", str(sd),
                                       "--garbage-len", str(length)])
        assert rc == 0
        assert data == expected_garbage(sd, length) + tail
        assert b"\r\n" not in data[:length]
        seen.append(data[:length])
    assert seen[0] == seen[1] != seen[2]


@needs_devsim
@needs_socat
def test_split_reaches_reader_in_pieces(pair):
    recs = [gen(i, 10) for i in range(1, 4)]
    data, reads, rc, _, _ = run(pair, ["--count", "3", "--length", "10", "--flood", "--quiet",
                                       "--hold-ms", "0", "--fault", "split", "--split-bytes", "4",
                                       "--split-ms", "20"])
    assert rc == 0
    assert data == STX + lines(recs) + ETX
    chunks = [c for _, c in reads]
    assert max(len(c) for c in chunks) <= 4
    # CR and LF of a pair are never written together.
    assert sum(1 for c in chunks if c.endswith(b"\r")) == 5
    assert sum(1 for c in chunks if c.startswith(b"\n")) == 5


@needs_devsim
@needs_socat
@pytest.mark.parametrize("baud,count,length,seconds", [
    (9600, 9, 104, 1.0),   # 960 bytes in all at 960 bytes/s
    (38400, 18, 104, 0.5),  # 1914 bytes at 3840 bytes/s
    (1200, 1, 4, 0.1),     # 12 bytes at 120 bytes/s
])
def test_pacing_follows_line_rate(pair, baud, count, length, seconds):
    data, reads, rc, _, err = run(pair, ["--baud", str(baud), "--count", str(count), "--length",
                                         str(length), "--hold-ms", "0"])
    assert rc == 0
    assert len(data) == 6 + count * (length + 2)
    took = reads[-1][0] - reads[0][0]
    assert seconds * 0.85 <= took <= seconds * 1.25 + 0.05
    assert "devsim: sent %d records, %d bytes in " % (count, len(data)) in err


@needs_devsim
@needs_socat
@pytest.mark.parametrize("ignore", [False, True])
def test_xoff_pauses_unless_ignored(pair, ignore):
    fd, _ = pair
    state = {"xoff": None, "xon": False}

    def flow(total, now):
        if state["xoff"] is None and total >= 300:
            os.write(fd, b"\x13")
            state["xoff"] = now
        elif state["xoff"] is not None and not state["xon"] and now - state["xoff"] >= 0.6:
            os.write(fd, b"\x11")
            state["xon"] = True

    args = ["--baud", "19200", "--count", "10", "--length", "150", "--hold-ms", "0", "--quiet"]
    data, reads, rc, _, _ = run(pair, args + (["--ignore-xoff"] if ignore else []), on_data=flow)
    assert rc == 0
    assert data == STX + lines([gen(i, 150) for i in range(1, 11)]) + ETX
    longest_gap = max(b[0] - a[0] for a, b in zip(reads, reads[1:]))
    if ignore:
        assert longest_gap < 0.2
    else:
        assert longest_gap >= 0.45


@needs_devsim
@needs_socat
def test_stamp_file_holds_etx_time(pair, tmp_path):
    stamp = tmp_path / "etx.stamp"
    before = time.time()
    data, _, rc, _, _ = run(pair, ["--count", "20", "--length", "20", "--baud", "38400",
                                   "--hold-ms", "300", "--quiet", "--stamp-file", str(stamp)])
    after = time.time()
    assert rc == 0 and data.endswith(ETX)
    value = float(stamp.read_text())
    # 20 lines of 22 bytes at 3840 bytes/s take about 0.12 s; the hold comes after the stamp.
    assert before + 0.08 <= value <= after - 0.25


@needs_devsim
@pytest.mark.parametrize("args,rc", [
    (["--help"], 0),
    ([], 2),  # no device
    (["--count", "1", "--length", "2", "--baud", "300", "DEV"], 2),
    (["--count", "1", "--length", "2", "--baud", "9600x", "DEV"], 2),
    (["--count", "1", "DEV"], 2),
    (["--length", "1", "DEV"], 2),
    (["DEV"], 2),
    (["--file", "f", "--count", "1", "--length", "2", "DEV"], 2),
    (["--count", "1", "--length", "2", "--fault", "nosuch", "DEV"], 2),
    (["--count", "1", "--length", "2", "--fault", "split,", "DEV"], 2),
    (["--count", "1", "--length", "2", "--after-etx", "\\x4", "DEV"], 2),
    (["--count", "1", "--length", "2", "--frobnicate", "DEV"], 2),
    (["--count", "1", "--length", "2", "DEV", "DEV2"], 2),
    (["--count", "1", "--length", "2", "--delay-ms"], 2),
    (["--count", "1", "--length", "2", "/nonexistent/tty"], 1),
    (["--file", "/nonexistent/records.csv", "/dev/null"], 1),
])
def test_exit_codes(args, rc):
    proc = subprocess.run([DEVSIM, *args], capture_output=True, timeout=10)
    assert proc.returncode == rc, proc.stderr
    if rc == 1:
        assert b"No such file or directory" in proc.stderr
    if rc == 2:
        assert proc.stderr.startswith(b"devsim: ")
