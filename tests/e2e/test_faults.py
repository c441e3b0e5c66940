"""Real faults met by the real program under Wine: the port vanishing mid-download, a
destination that cannot take a file, every file name of the moment taken, and settings and
catalogue files of random bytes. The program must keep running, keep every record it
received, leave nothing behind and say what happened."""

import os
import random
import subprocess
import time

import pytest

from conftest import wait_exit, wait_for
from dialog import DEFAULT_TEXTS
from tooldrive import base_name, bench, crlf, gen, outputs, read  # noqa: F401

SILENCE_LIMIT_S = 30


def records_in(path):
    """The complete records of an output file (a cut last line is left out)."""
    return read(path).split(b"\r\n")[:-1]


def test_port_vanishing_mid_download_keeps_every_record(bench):
    bench.open()
    desktop = bench.bed.folders()[0]
    bench.start()
    path = bench.wait_file(desktop)
    # 1200 baud paces 22-byte lines at about five a second, so the count devsim reports
    # when its pty goes tells which records were out before the unplug.
    sim = bench.sim("--count", 200, "--length", 20, "--baud", 1200)
    assert wait_for(lambda: len(records_in(path)) >= 8, timeout=10)
    bench.bed.unplug_port(bench.port)
    unplugged = time.monotonic()
    sent, _ = bench.sent(sim, timeout=10)

    # The window answers while the program waits out the silence.
    time.sleep(2)
    assert bench.bed.ui_ok("caption", "start") == "Cancel"
    assert bench.bed.ui_ok("enabled", "store") == "0"
    kept = records_in(path)
    # Only the records of the last half second may have been lost with the pty.
    assert sent - 3 <= len(kept) <= sent
    assert kept == [gen(i, 20) for i in range(1, len(kept) + 1)]

    bench.wait_idle(int((SILENCE_LIMIT_S + 10) * 1000))
    waited = time.monotonic() - unplugged
    assert SILENCE_LIMIT_S - 1 < waited < SILENCE_LIMIT_S + 5
    assert bench.bed.ui_ok("boxes") == ""
    bench.assert_idle()
    assert bench.status() == "Timeout error."
    assert read(path) == crlf(kept)


# What the user does once the port has gone mid-download, and what must then become of the
# file: Cancel deletes it, closing the window keeps the records received.
AFTER_UNPLUG = [("Cancel", "click", False), ("close the window", "close", True)]


@pytest.mark.parametrize("act,kept", [c[1:] for c in AFTER_UNPLUG], ids=[c[0] for c in AFTER_UNPLUG])
def test_user_ends_a_download_whose_port_has_gone(bench, act, kept):
    proc = bench.open()
    desktop = bench.bed.folders()[0]
    bench.start()
    path = bench.wait_file(desktop)
    bench.sim("--count", 100, "--length", 20, "--baud", 1200)
    assert wait_for(lambda: len(records_in(path)) >= 3, timeout=10)
    bench.bed.unplug_port(bench.port)
    time.sleep(0.5)
    got = records_in(path)
    t = time.monotonic()
    if act == "click":
        bench.bed.ui_ok("click", "start")
        bench.wait_idle(3000)
        assert bench.status() == "Ready."
        bench.assert_idle()
        assert bench.bed.ui_ok("boxes") == ""
    else:
        bench.bed.ui_ok("close")
        assert wait_exit(proc) == 0
    # Closing a port whose pty is gone must not hang the window.
    assert time.monotonic() - t < 3
    if kept:
        assert records_in(path) == got == [gen(i, 20) for i in range(1, len(got) + 1)]
    else:
        assert outputs(desktop) == []


# The port is gone, or opened by another program, when Start is pressed.
PORT_REFUSED = [("unplugged", lambda bed, n: bed.unplug_port(n)),
                ("held by another program", lambda bed, n: bed.hold_port(n))]


@pytest.mark.parametrize("spoil", [c[1] for c in PORT_REFUSED], ids=[c[0] for c in PORT_REFUSED])
def test_port_refused_at_start_is_reported_and_undone(bench, spoil):
    bench.open()
    spoil(bench.bed, bench.port)
    bench.start()
    assert bench.bed.ui_ok("wait-box", 5000) == "ERROR\tCOM1 is not enabled."
    bench.bed.ui_ok("dismiss")
    bench.assert_idle()
    assert bench.status() == "Ready."
    # The file made just before the port refused is gone again.
    assert [outputs(f) for f in bench.bed.folders()] == [[], []]


def test_full_disk_stops_the_download_and_says_so(bench):
    desktop = bench.bed.folders()[0]
    # A 16 KiB file system on the Desktop: it fills up after some 390 records of 42 bytes.
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", desktop],
                      stderr=subprocess.DEVNULL).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here (needs root)")
    try:
        bench.open()
        bench.start()
        path = bench.wait_file(desktop)
        bench.sim("--count", 1000, "--length", 40, "--flood")
        box = bench.bed.ui_ok("wait-box", 20000)
        assert box.startswith("ERROR\tThe output file could not be written; the download "
                              "was stopped:\\r\\n%s\\r\\n" % bench.bed.windows_path(path))
        bench.bed.ui_ok("dismiss")
        bench.assert_idle()
        assert bench.status() == "Timeout error."
        data = read(path)
        lines = data.split(b"\r\n")
        whole, tail = lines[:-1], lines[-1]
        # Every record before the failure is whole and in order; at most the one that did
        # not fit is cut, and nothing was appended behind it.
        assert len(whole) > 300
        assert whole == [gen(i, 40) for i in range(1, len(whole) + 1)]
        assert gen(len(whole) + 1, 40).startswith(tail)
        bench.bed.ui_ok("close")
        assert wait_exit(bench.proc) == 0
    finally:
        if subprocess.run(["umount", desktop]).returncode != 0:
            subprocess.run(["umount", "-l", desktop])


def _replace_by_file(folder):
    os.rename(folder, folder + ".away")
    with open(folder, "wb") as f:
        f.write(b"not a folder")


def _remove(folder):
    os.rename(folder, folder + ".away")


def _restore(folder):
    if os.path.isfile(folder):
        os.unlink(folder)
    if os.path.isdir(folder + ".away"):
        os.rename(folder + ".away", folder)


# How the Desktop is taken away after the program looked its path up. As root Wine writes
# through any permission bits, so the folder is made to be no folder at all.
UNWRITABLE = [("a file named like the folder", _replace_by_file), ("folder gone", _remove)]


@pytest.mark.parametrize("spoil", [c[1] for c in UNWRITABLE], ids=[c[0] for c in UNWRITABLE])
def test_unwritable_destination_is_reported_and_undone(bench, spoil):
    bench.open()
    desktop, documents = bench.bed.folders()
    spoil(desktop)
    try:
        bench.start()
        box = bench.bed.ui_ok("wait-box", 5000)
        caption, text = box.split("\t", 1)
        assert caption == "ERROR"
        assert text.startswith("The output file could not be created:")
        assert bench.bed.windows_path(desktop) + "\\" + base_name(0)[:7] in text
        bench.bed.ui_ok("dismiss")
        bench.assert_idle()
        assert bench.status() == "Ready."
        if os.path.isfile(desktop):
            assert read(desktop) == b"not a folder"
        else:
            assert not os.path.exists(desktop)
        assert outputs(desktop + ".away") == [] and outputs(documents) == []
        assert outputs(bench.folder) == []
    finally:
        _restore(desktop)
    # Usable again: the next Start downloads into the restored folder.
    bench.start()
    path = bench.wait_file(desktop)
    bench.send("--count", 2, "--length", 10, "--flood")
    bench.wait_idle()
    assert read(path) == crlf([gen(1, 10), gen(2, 10)])


def test_all_names_taken_creates_nothing_and_overwrites_nothing(bench):
    bench.open()
    desktop = bench.bed.folders()[0]
    now = time.time()
    made = {}
    # Every name for each second the begin step may fall in.
    for s in range(int(now) - 1, int(now) + 8):
        for n in range(1, 100):
            name = base_name(s) + (".csv" if n == 1 else "(%d).csv" % n)
            made[name] = b"%s %d\r\n" % (base_name(s).encode(), n)
            with open(os.path.join(desktop, name), "wb") as f:
                f.write(made[name])
    stamps = {n: os.stat(os.path.join(desktop, n)).st_mtime_ns for n in made}
    bench.start()
    box = bench.bed.ui_ok("wait-box", 5000)
    assert box == "ERROR\tAll 99 file names for this second are already taken in:\\r\\n%s" \
                  "\\r\\nTry again in a second." % bench.bed.windows_path(desktop)
    bench.bed.ui_ok("dismiss")
    bench.assert_idle()
    assert set(outputs(desktop)) == set(made)
    for name, data in made.items():
        path = os.path.join(desktop, name)
        assert read(path) == data and os.stat(path).st_mtime_ns == stamps[name], name
    assert outputs(bench.bed.folders()[1]) == []


def _random_bytes(seed, size=600):
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(size))


def _random_lines(seed):
    """Key-comma-text lines, CR LF ended: the real keys, half of the time, with random texts
    (commas, NULs and bytes above 0x7F included), else random keys."""
    rng = random.Random(seed)
    keys = list(DEFAULT_TEXTS) + ["PORT", "BAUDRATE", "STORE"]
    out = b""
    for _ in range(40):
        if rng.random() < 0.5:
            key = rng.choice(keys).encode()
        else:
            key = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 12)))
        body = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 120)))
        # A CR or LF inside would end the line early, and a line without CR ends the parse.
        key, body = (x.replace(b"\r", b"").replace(b"\n", b"") for x in (key, body))
        out += key.replace(b",", b"") + b"," + body + b"\r\n"
    return out


def _random_texts(seed):
    """Every key with a text of random bytes, none of them NUL, CR or LF, and the Start text
    the window must then show, as the bed's code page 1252 turns it into Unicode."""
    rng = random.Random(seed)
    texts = {k: bytes(rng.choice([b for b in range(1, 256) if b not in (10, 13)])
                      for _ in range(rng.randrange(1, 60))) for k in DEFAULT_TEXTS}
    msg = b"".join(k.encode() + b"," + t + b"\r\n" for k, t in texts.items())
    # Wine maps the five bytes that 1252 leaves undefined to the same code points.
    start = "".join(bytes([b]).decode("cp1252", "ignore") or chr(b) for b in texts["START"])
    return msg, start


# (name, config.csv, message.csv, the Start caption expected or None). The texts come back
# as captions, so a catalogue text taken for a format string would show there or crash.
DAMAGED = [
    ("random bytes 1", _random_bytes(1), _random_bytes(2), None),
    ("random bytes 2", _random_bytes(3), _random_bytes(4), None),
    ("random lines 1", _random_lines(5), _random_lines(6), None),
    ("random lines 2", _random_lines(7), _random_lines(8), None),
    ("random texts", b"PORT,1\r\nBAUDRATE,9600\r\nSTORE,1\r\n", *_random_texts(9)),
    ("format strings", b"PORT,%n%s\r\nBAUDRATE,%x%x%x\r\nSTORE,%s\r\n",
     b"".join(b"%s,%%s%%n%%x %s\r\n" % (k.encode(), k.encode()) for k in DEFAULT_TEXTS),
     "%s%n%x START"),
]


@pytest.mark.parametrize("cfg,msg,caption", [c[1:] for c in DAMAGED],
                         ids=[c[0] for c in DAMAGED])
def test_damaged_settings_and_catalogue_still_download(bench, cfg, msg, caption):
    proc = bench.open(files={"config.csv": cfg, "message.csv": msg}, boxes_ok=True)
    assert proc.poll() is None
    # Only start-up warnings ("Error"), dismissed; no refusal and no program error.
    assert all(b.startswith("Error\t") for b in bench.start_boxes), bench.start_boxes
    start = bench.bed.ui_ok("caption", "start")
    if caption is not None:
        assert start == caption
    bench.bed.ui_ok("click", "start")
    path = wait_for(lambda: [os.path.join(f, n) for f in bench.bed.folders()
                             for n in outputs(f)], timeout=5, step=0.01)
    assert len(path) == 1, path
    bench.send("--count", 3, "--length", 12, "--flood")
    # A random Start text may not survive the trip through uidriver's arguments, so the end
    # of the download is told by the lists coming back.
    assert wait_for(lambda: bench.bed.ui_ok("enabled", "store") == "1", timeout=10)
    assert bench.bed.ui_ok("caption", "start") == start
    assert read(path[0]) == crlf(gen(i, 12) for i in (1, 2, 3))
    bench.bed.ui_ok("close")
    assert wait_exit(proc) == 0
