"""Proves the Wine bed itself: virtual COM ports open, carry bytes, vanish and can be held;
the UI driver finds, reads and dismisses message boxes and drives a window with the tool's
class and control ids; screenshots can be read back."""

import time

import pytest

from conftest import built_exe, wait_exit, wait_for


def portcheck(bed, *args, timeout=15):
    r = bed.run(built_exe("portcheck"), *[str(a) for a in args], timeout=timeout)
    return r.returncode, r.stdout.strip()


def test_port_carries_bytes_from_device_side(fresh_bed):
    dev = fresh_bed.add_port(3)
    p = fresh_bed.start_exe(built_exe("portcheck"), "COM3", "read", "8", "5000")
    # Write only once the port is open, so the bytes cross a live link.
    assert fresh_bed.wait_output(p, "OK\n")
    with open(dev, "wb", buffering=0) as f:
        f.write(b"\x02\r\nA\x00\xff\r\n")
    assert wait_exit(p) == 0
    assert fresh_bed.output(p) == "OK\nREAD 02 0d 0a 41 00 ff 0d 0a\n"


def _held(bed, n):
    bed.add_port(n)
    bed.hold_port(n)


def _released(bed, n):
    bed.add_port(n)
    bed.hold_port(n)
    bed.release_port(n)


# (name, how COM5 is set up, expected first line of portcheck)
PORT_STATES = [
    ("added", lambda bed, n: bed.add_port(n), "OK"),
    ("never added", lambda bed, n: None, "ERR 2"),
    ("added then removed", lambda bed, n: (bed.add_port(n), bed.remove_port(n)), "ERR 2"),
    ("pty pair gone, link left", lambda bed, n: (bed.add_port(n), bed.unplug_port(n)), "ERR 2"),
    # Wine reports a tty busy elsewhere as 33 (lock violation), Windows as 5 (access denied).
    ("held exclusively", _held, "ERR 33"),
    ("held then released", _released, "OK"),
]


@pytest.mark.parametrize("setup,expected", [c[1:] for c in PORT_STATES],
                         ids=[c[0] for c in PORT_STATES])
def test_port_open_result(fresh_bed, setup, expected):
    setup(fresh_bed, 5)
    t = time.monotonic()
    rc, out = portcheck(fresh_bed, "COM5")
    elapsed = time.monotonic() - t
    assert out.splitlines()[0] == expected
    assert rc == (0 if expected == "OK" else 1)
    # A failing open must fail at once, not after a time-out (the whole run is one exe start).
    assert elapsed < 2.0


def test_only_bed_ports_exist_even_after_server_restart(fresh_bed):
    # The host's own serial devices (a /dev/ttyS0 here) must not show up as COM ports.
    fresh_bed.add_port(2)
    fresh_bed.add_port(16)
    fresh_bed.restart_server()
    rc, out = portcheck(fresh_bed, "--scan")
    ok = [line.split()[0] for line in out.splitlines() if line.endswith(" OK")]
    assert rc == 0 and ok == ["COM2", "COM16"], out


def test_driver_reads_and_dismisses_a_message_box(fresh_bed):
    p = fresh_bed.start_exe(built_exe("portcheck"), "--box", "Error", "Disk full, déjà vu")
    assert fresh_bed.ui("wait-box", 10000) == (0, "Error\tDisk full, déjà vu")
    assert fresh_bed.ui("boxes") == (0, "Error\tDisk full, déjà vu")
    assert fresh_bed.ui("dismiss") == (0, "dismissed")
    assert wait_exit(p) == 0
    assert fresh_bed.ui("boxes") == (0, "")
    assert fresh_bed.ui("dismiss")[0] == 1
    assert fresh_bed.ui("wait-box", 100) == (1, "timeout")


def test_driver_drives_a_window_with_the_tools_ids(fresh_bed):
    ui = fresh_bed.ui
    p = fresh_bed.start_exe(built_exe("portcheck"), "--window")
    assert ui("wait-window", 10000) == (0, "ready")
    assert ui("title") == (0, "Stand-in")
    assert ui("items", "port") == (0, "COM1\nCOM2\nCOM3")
    assert ui("rect", 1001) == (0, "10 10 90 34")
    assert ui("enabled", "close") == (0, "0")
    assert ui("click", "close") == (1, "not clickable")

    assert ui("click", "start") == (0, "clicked")
    assert ui("wait-caption", "start", "CANCEL", 3000) == (0, "CANCEL")

    # A pick the window refuses: the box appears and the driver is not blocked by it.
    assert ui("select", "port", 1) == (0, "selected 1")
    assert wait_for(lambda: ui("cursel", "port") == (0, "1"))
    assert ui("select", "port", 2) == (0, "selected 2")
    assert ui("wait-box", 5000) == (0, "ERROR\tCOM3 is not enabled.")
    assert ui("dismiss") == (0, "dismissed")
    assert wait_for(lambda: ui("cursel", "port") == (0, "0"))
    assert ui("select", "port", 7) == (1, "no item 7")

    # The painted caption can be read back from the screen.
    x, y = fresh_bed.client_origin()
    left, top, right, bottom = map(int, ui("rect", "start")[1].split())
    text = fresh_bed.ocr(x + left + 2, y + top + 2, right - left - 4, bottom - top - 4)
    assert text == "CANCEL"

    assert ui("close") == (0, "posted")
    assert ui("wait-gone", 5000) == (0, "gone")
    assert wait_exit(p) == 0
    assert fresh_bed.output(p) == "SELCHANGE 1\nSELCHANGE 2\nWINDOW CLOSED\n"
