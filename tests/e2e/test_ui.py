"""The real program's dialog under Wine: the three lists and their selections for a given
config.csv and set of ports, the refusal of an unusable port, the start without any port,
the laid-out geometry, the painted texts read back by OCR, and the state while a download
waits for data."""

import os
import time

import pytest

from conftest import wait_exit, wait_for
from dialog import (BAUD_ITEMS, BAUD_RATES, DEFAULT_TEXTS, PORT_ITEMS, boxes, catalogue, config, cursel,
                    exit_code, items, label_text, laid_out, read, rect, status_text,
                    text_height, xdotool)

FULL = catalogue()
SCREEN_W, SCREEN_H = 1024, 768
WINDOW_W, WINDOW_H = 400, 240


def close_and_exit(bed, proc):
    bed.ui_ok("click", "close")
    assert wait_exit(proc) == 0


def _held(n):
    return lambda bed: bed.hold_port(n)


# (case, bed ports, setup after adding them, config.csv, (port, baud, store) selected,
#  port saved at exit)
SELECTIONS = [
    ("saved port opens, a lower one too", [2, 5], None, config(5, 38400, 0), (4, 5, 1), 5),
    ("saved port absent", [2, 5], None, config(7, 1200, 1), (1, 0, 0), 2),
    ("saved port held by another program", [2, 5], _held(2), config(2, 19200, 1), (4, 4, 0), 5),
    ("no PORT line", [9, 16], None, b"BAUDRATE,2400\r\n", (8, 1, 0), 9),
    ("only the highest port", [16], None, config(3, 4800, 0), (15, 2, 1), 16),
]


@pytest.mark.parametrize("ports,setup,saved,selected,port_at_exit",
                         [c[1:] for c in SELECTIONS], ids=[c[0] for c in SELECTIONS])
def test_lists_follow_the_settings_and_the_ports(fresh_bed, tool, ports, setup, saved,
                                                 selected, port_at_exit):
    for n in ports:
        fresh_bed.add_port(n)
    if setup:
        setup(fresh_bed)
    proc, folder = tool({"message.csv": FULL, "config.csv": saved})
    laid_out(fresh_bed)
    assert boxes(fresh_bed) == []
    assert items(fresh_bed, "port") == PORT_ITEMS
    assert items(fresh_bed, "baud") == BAUD_ITEMS
    assert items(fresh_bed, "store") == ["Desktop", "My Documents"]
    assert (cursel(fresh_bed, "port"), cursel(fresh_bed, "baud"),
            cursel(fresh_bed, "store")) == selected
    close_and_exit(fresh_bed, proc)
    baud = BAUD_RATES[selected[1]]
    assert read(folder, "config.csv") == config(port_at_exit, baud, 1 - selected[2])


# (case, index picked in the port list, how COM<index+1> is made unusable)
REFUSED = [
    ("absent", 6, None),
    ("held by another program", 4, "hold"),
]


@pytest.mark.parametrize("index,how", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_unusable_pick_is_refused_and_a_usable_one_accepted(fresh_bed, tool, index, how):
    fresh_bed.add_port(2)
    fresh_bed.add_port(3)
    fresh_bed.add_port(5)
    if how == "hold":
        fresh_bed.hold_port(index + 1)
    proc, folder = tool({"message.csv": FULL, "config.csv": config(3, 9600, 1)})
    laid_out(fresh_bed)

    fresh_bed.ui_ok("select", "port", index)
    assert fresh_bed.ui("wait-box", 5000) == (0, "ERROR\tCOM%d is not enabled." % (index + 1))
    fresh_bed.ui_ok("dismiss")
    assert wait_for(lambda: cursel(fresh_bed, "port") == 2)   # back to COM3
    assert boxes(fresh_bed) == []

    fresh_bed.ui_ok("select", "port", 1)                      # COM2 opens
    assert wait_for(lambda: cursel(fresh_bed, "port") == 1)
    time.sleep(0.3)                                           # a refusal would show by now
    assert boxes(fresh_bed) == []
    # A second refusal returns to the newly accepted port, not to the saved one.
    fresh_bed.ui_ok("select", "port", index)
    fresh_bed.ui_ok("wait-box", 5000)
    fresh_bed.ui_ok("dismiss")
    assert wait_for(lambda: cursel(fresh_bed, "port") == 1)
    close_and_exit(fresh_bed, proc)
    assert read(folder, "config.csv") == config(2, 9600, 1)


def _pick_with_mouse(bed, control, index):
    """Opens a list with a click on its arrow and clicks item index in the opened list (one
    text line per item, right below the closed field), as a user does: the notification then
    comes from the control itself, not from the driver."""
    x, y = bed.client_origin()
    left, top, right, bottom = rect(bed, control)
    h = text_height(bed)
    xdotool(bed, "mousemove", x + right - 8, y + (top + bottom) // 2, "click", 1)
    time.sleep(0.3)
    xdotool(bed, "mousemove", x + left + 12, y + bottom + 1 + index * h + h // 2, "click", 1)


def test_mouse_picks_in_the_opened_lists(fresh_bed, tool):
    fresh_bed.add_port(3)
    proc, folder = tool({"message.csv": FULL, "config.csv": config(3, 1200, 1)})
    laid_out(fresh_bed)
    _pick_with_mouse(fresh_bed, "port", 8)
    assert fresh_bed.ui("wait-box", 5000) == (0, "ERROR\tCOM9 is not enabled.")
    fresh_bed.ui_ok("dismiss")
    assert wait_for(lambda: cursel(fresh_bed, "port") == 2)
    _pick_with_mouse(fresh_bed, "baud", 5)
    _pick_with_mouse(fresh_bed, "store", 1)
    assert wait_for(lambda: (cursel(fresh_bed, "baud"), cursel(fresh_bed, "store")) == (5, 1))
    close_and_exit(fresh_bed, proc)
    assert read(folder, "config.csv") == config(3, 38400, 0)


# The longest text a catalogue line carries: 255 bytes with key, comma and CR.
LONG_NOT_ENABLED = ("is not enabled " + "x" * 240)[:255 - len("NOT_ENABLED,") - 1]


def test_longest_refusal_text_is_shown_whole(fresh_bed, tool):
    fresh_bed.add_port(1)
    # Last in the file: the line's LF is read as a line of its own, which ends the parse.
    texts = {k: v for k, v in DEFAULT_TEXTS.items() if k != "NOT_ENABLED"}
    texts["NOT_ENABLED"] = LONG_NOT_ENABLED
    proc, _ = tool({"message.csv": catalogue(texts)})
    laid_out(fresh_bed)
    assert boxes(fresh_bed) == []
    fresh_bed.ui_ok("select", "port", 15)
    assert fresh_bed.ui("wait-box", 5000) == (0, "ERROR\tCOM16 " + LONG_NOT_ENABLED)
    fresh_bed.ui_ok("dismiss")
    close_and_exit(fresh_bed, proc)


def test_no_usable_port_warns_and_ends_saving_port_zero(fresh_bed, tool):
    fresh_bed.add_port(4)
    fresh_bed.hold_port(4)     # the only port exists but is taken
    proc, folder = tool({"message.csv": FULL, "config.csv": config(4, 19200, 0)})
    assert fresh_bed.ui("wait-box", 10000) == (0, "ERROR\t" + DEFAULT_TEXTS["NO_ENABLE_PORTS"])
    fresh_bed.ui_ok("dismiss")
    # The program ends by itself: no further box, no window left, exit code 0.
    assert exit_code(proc, timeout=10) == 0
    assert fresh_bed.ui("wait-gone", 3000) == (0, "gone")
    assert read(folder, "config.csv") == config(0, 19200, 0)


def test_no_port_at_all_gives_the_catalogue_text(fresh_bed, tool):
    proc, folder = tool({"message.csv": catalogue(dict(DEFAULT_TEXTS, NO_ENABLE_PORTS="Plug in!")),
                         "config.csv": config(1, 2400, 1)})
    assert fresh_bed.ui("wait-box", 10000) == (0, "ERROR\tPlug in!")
    fresh_bed.ui_ok("dismiss")
    assert exit_code(proc, timeout=10) == 0
    assert read(folder, "config.csv") == config(0, 2400, 1)


# ---- geometry and painting ----

def test_geometry_of_the_laid_out_window(fresh_bed, tool):
    fresh_bed.add_port(1)
    proc, _ = tool({"message.csv": FULL})
    laid_out(fresh_bed)
    ui = fresh_bed.ui_ok

    x0, y0, x1, y1 = map(int, ui("window-rect").split())
    assert (x1 - x0, y1 - y0) == (WINDOW_W, WINDOW_H)
    assert (x0, y0) == ((SCREEN_W - WINDOW_W) // 2, (SCREEN_H - WINDOW_H) // 2)

    _, _, w, h = map(int, ui("client").split())
    q = w // 4
    bh = text_height(fresh_bed) + 16
    assert rect(fresh_bed, "start") == (w - q - 8, 8, w - 8, 8 + bh)
    assert rect(fresh_bed, "close") == (w - q - 8, h - 8 - bh, w - 8, h - 8)

    # Lists stacked 8 px apart from the top, each right of its own label; a drop-down list's
    # closed field is one text line, lower than a button.
    lists = [rect(fresh_bed, c) for c in ("port", "baud", "store")]
    assert lists[0][1] == 8
    assert [b[1] - a[3] for a, b in zip(lists, lists[1:])] == [8, 8]
    for (left, top, right, bottom), control, key in zip(
            lists, ("port", "baud", "store"), ("PORT_NO", "BAUDRATE", "STORE_FOLDER")):
        assert 8 < left < right < w - q - 8
        assert bottom - top < bh
        assert label_text(fresh_bed, control) == DEFAULT_TEXTS[key]
    close_and_exit(fresh_bed, proc)


def test_longer_port_label_moves_only_the_port_list(fresh_bed, tool):
    fresh_bed.add_port(1)
    rects = []
    for label in ("Port No.:", "Serial port number:"):
        proc, _ = tool({"message.csv": catalogue(dict(DEFAULT_TEXTS, PORT_NO=label))})
        laid_out(fresh_bed)
        rects.append([rect(fresh_bed, c) for c in ("port", "baud", "store", "start", "close")])
        assert label_text(fresh_bed, "port") == label
        close_and_exit(fresh_bed, proc)
    short, long = rects
    shift = long[0][0] - short[0][0]
    assert shift > 20
    assert long[0] == (short[0][0] + shift, short[0][1], short[0][2] + shift, short[0][3])
    assert long[1:] == short[1:]


def test_status_line_reads_ready_at_start(fresh_bed, tool):
    fresh_bed.add_port(1)
    proc, _ = tool({"message.csv": FULL})
    laid_out(fresh_bed)
    assert status_text(fresh_bed) == "Ready."
    close_and_exit(fresh_bed, proc)


def test_lists_locked_while_a_download_waits(fresh_bed, tool):
    fresh_bed.add_port(3)
    proc, folder = tool({"message.csv": FULL, "config.csv": config(3, 9600, 1)})
    laid_out(fresh_bed)
    desktop, _ = fresh_bed.folders()
    lists = ("port", "baud", "store")

    fresh_bed.ui_ok("click", "start")
    fresh_bed.ui_ok("wait-caption", "start", "Cancel", 3000)
    assert [fresh_bed.ui_ok("enabled", c) for c in lists] == ["0", "0", "0"]
    assert fresh_bed.ui("select", "baud", 2) == (1, "disabled")
    time.sleep(0.4)  # the first tick (250 ms) opens the port and creates the file
    assert wait_for(lambda: status_text(fresh_bed) == "Receiving data...", timeout=3), status_text(fresh_bed)
    assert len(os.listdir(desktop)) == 1
    assert fresh_bed.ui_ok("enabled", "close") == "1"

    fresh_bed.ui_ok("click", "start")
    fresh_bed.ui_ok("wait-caption", "start", "Start", 3000)
    assert [fresh_bed.ui_ok("enabled", c) for c in lists] == ["1", "1", "1"]
    assert status_text(fresh_bed) == "Ready."
    assert os.listdir(desktop) == []      # a cancelled download leaves no file
    assert boxes(fresh_bed) == []
    close_and_exit(fresh_bed, proc)
    assert read(folder, "config.csv") == config(3, 9600, 1)
