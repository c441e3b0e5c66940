"""The real program's start-up and its two files under Wine: message.csv (missing, complete,
incomplete), config.csv round trips through every way of closing, the single-copy rule, and
damaged or random files that must neither stop the program nor leave a bad config.csv."""

import os
import random
import re
import time

import pytest

from conftest import program_folder, start_tool, wait_exit, wait_for
from dialog import (FILE_NOT_FOUND, ITEM_ERROR, boxes, catalogue, close_box,
                    config, exit_code, items, laid_out, read, status_text, xdotool)

FULL = catalogue()
WELL_FORMED = re.compile(rb"PORT,(\d+)\r\nBAUDRATE,(1200|2400|4800|9600|19200|38400)\r\n"
                         rb"STORE,([01])\r\n")


def close_and_exit(bed, proc):
    bed.ui_ok("close")
    assert wait_exit(proc) == 0


# A warm start here takes about 0.3 s to the laid-out window; the bound leaves room for a
# busy two-core host while still catching a start that waits on something.
START_LIMIT_S = 3.0


def test_starts_at_once_with_every_port_absent_but_one(fresh_bed, tool):
    fresh_bed.add_port(16)      # the scan probes COM1..COM15 in vain first
    t = time.monotonic()
    proc, _ = tool({"message.csv": FULL})
    laid_out(fresh_bed)
    assert time.monotonic() - t < START_LIMIT_S
    assert fresh_bed.ui_ok("cursel", "port") == "15"
    close_and_exit(fresh_bed, proc)


# ---- message.csv ----

def test_missing_catalogue_warns_once_then_shows_the_defaults(fresh_bed, tool):
    fresh_bed.add_port(1)
    proc, _ = tool()
    assert fresh_bed.ui("wait-box", 10000) == (0, "Error\t" + FILE_NOT_FOUND)
    # The box comes before the window: the dialog is not created until it is dismissed.
    assert fresh_bed.ui("wait-window", 300) == (1, "timeout")
    fresh_bed.ui_ok("dismiss")
    laid_out(fresh_bed)
    assert boxes(fresh_bed) == []
    assert fresh_bed.ui_ok("title") == "KM-740 TOOL"
    assert fresh_bed.ui_ok("caption", "close") == "Close"
    assert items(fresh_bed, "store") == ["Desktop", "My Documents"]
    close_and_exit(fresh_bed, proc)


CUSTOM = {
    "PORT_NO": "Anschluss:",
    "BAUDRATE": "Rate:",
    "STORE_FOLDER": "Ablage:",
    "WINDOW_TITLE": b"Messger\xe4t 740",        # cp1252 a-umlaut: bytes go through unchanged
    "DESKTOP": "Schreibtisch",
    "MY_DOCUMENTS": "Dokumente, privat",        # a comma belongs to the text
    "START": "Go",
    "CANCEL": "Stop",
    "CLOSE": " Quit ",                          # spaces are kept
    "NOT_ENABLED": "is busy %s%n 100%",         # data, never a format
    "NO_ENABLE_PORTS": "No ports.",
    "STAND_BY": "Waiting for you.",
    "RECEIVE_DATA": "Listening now",
    "COMPLETE": "Done.",
    "TIMEOUT": "Too late.",
}


def _lower_keys(texts):
    return {k.lower() if i % 2 else k.title(): v for i, (k, v) in enumerate(texts.items())}


# (case, message.csv bytes) of complete catalogues: none may bring a warning.
COMPLETE = [
    ("upper-case keys", catalogue(CUSTOM)),
    ("keys in mixed case", catalogue(_lower_keys(CUSTOM))),
    ("trailing empty line", catalogue(CUSTOM) + b"\r\n"),
    ("unknown key and repeated key", catalogue({"OBSOLETE": "x"}) + catalogue(CUSTOM)
     + catalogue({"START": "Later"})),
    ("LF line ends", catalogue(CUSTOM, eol=b"\n")),
    ("last line without CR LF", catalogue(CUSTOM)[:-2]),
    ("UTF-8 with byte-order mark, converted to the code page",
     b"\xef\xbb\xbf" + catalogue(dict(CUSTOM, WINDOW_TITLE="Messgerät 740".encode("utf-8")))),
]


@pytest.mark.parametrize("data", [c[1] for c in COMPLETE], ids=[c[0] for c in COMPLETE])
def test_complete_catalogue_gives_its_texts_without_warning(fresh_bed, tool, data):
    fresh_bed.add_port(2)
    proc, _ = tool({"message.csv": data})
    laid_out(fresh_bed, "Go")
    assert boxes(fresh_bed) == []
    assert fresh_bed.ui_ok("title") == "Messgerät 740"
    assert fresh_bed.ui_ok("caption", "close") == " Quit "
    assert items(fresh_bed, "store") == ["Schreibtisch", "Dokumente, privat"]
    assert status_text(fresh_bed) == "Waiting for you."

    # The refusal carries the catalogue text verbatim, conversion characters and all.
    fresh_bed.ui_ok("select", "port", 8)
    assert fresh_bed.ui("wait-box", 5000) == (0, "ERROR\tCOM9 is busy %s%n 100%")
    fresh_bed.ui_ok("dismiss")

    fresh_bed.ui_ok("click", "start")
    fresh_bed.ui_ok("wait-caption", "start", "Stop", 3000)
    time.sleep(0.4)  # let the first tick open the port, so the click cancels
    fresh_bed.ui_ok("click", "start")
    fresh_bed.ui_ok("wait-caption", "start", "Go", 3000)
    close_and_exit(fresh_bed, proc)


def _without(*keys):
    return {k: v for k, v in CUSTOM.items() if k not in keys}


def _split_at(key):
    """The custom catalogue with an empty line in front of key: the parse stops there."""
    keys = list(CUSTOM)
    at = keys.index(key)
    return (catalogue({k: CUSTOM[k] for k in keys[:at]}) + b"\r\n"
            + catalogue({k: CUSTOM[k] for k in keys[at:]}))


DEFAULT_VIEW = ("KM-740 TOOL", "Start", "Close", ["Desktop", "My Documents"])
CUSTOM_STORE = ["Schreibtisch", "Dokumente, privat"]

# (case, message.csv bytes, (title, Start caption, Close caption, folder items))
INCOMPLETE = [
    ("three keys absent", catalogue(_without("WINDOW_TITLE", "START", "CLOSE")),
     ("KM-740 TOOL", "Start", "Close", CUSTOM_STORE)),
    ("empty file", b"", DEFAULT_VIEW),
    ("empty line in the middle", _split_at("START"),
     ("Messgerät 740", "Start", "Close", CUSTOM_STORE)),
    ("empty text", catalogue(dict(CUSTOM, START=b"")),
     ("Messgerät 740", "Start", " Quit ", CUSTOM_STORE)),
]


@pytest.mark.parametrize("data,view", [c[1:] for c in INCOMPLETE], ids=[c[0] for c in INCOMPLETE])
def test_incomplete_catalogue_warns_once_and_fills_defaults(fresh_bed, tool, data, view):
    fresh_bed.add_port(2)
    proc, _ = tool({"message.csv": data})
    assert fresh_bed.ui("wait-box", 10000) == (0, "Error\t" + ITEM_ERROR)
    fresh_bed.ui_ok("dismiss")
    title, start, close, store = view
    laid_out(fresh_bed, start)
    assert boxes(fresh_bed) == []
    assert (fresh_bed.ui_ok("title"), fresh_bed.ui_ok("caption", "close"),
            items(fresh_bed, "store")) == (title, close, store)
    close_and_exit(fresh_bed, proc)


# ---- config.csv through the ways of closing ----

def _close_button(bed):
    bed.ui_ok("click", "close")


def _close_posted(bed):
    bed.ui_ok("close")


def _close_box_clicked(bed):
    x, y = close_box(bed)
    xdotool(bed, "mousemove", x, y, "click", 1)


def _alt_f4(bed):
    xdotool(bed, "key", "alt+F4")


CLOSERS = [("Close button", _close_button), ("WM_CLOSE posted", _close_posted),
           ("title-bar close box", _close_box_clicked), ("Alt+F4", _alt_f4)]


@pytest.mark.parametrize("closer", [c[1] for c in CLOSERS], ids=[c[0] for c in CLOSERS])
def test_closing_writes_the_held_settings_byte_exact(fresh_bed, tool, closer):
    fresh_bed.add_port(2)
    fresh_bed.add_port(5)
    saved = config(5, 9600, 0)
    proc, folder = tool({"message.csv": FULL, "config.csv": saved})
    laid_out(fresh_bed)
    # Make sure the file is written anew, not merely left alone.
    os.unlink(os.path.join(folder, "config.csv"))
    closer(fresh_bed)
    assert wait_exit(proc) == 0
    assert read(folder, "config.csv") == saved


# (case, list picks before Close, config.csv written)
PICKS = [
    ("baud rate", [("baud", 5)], config(5, 38400, 0)),
    ("folder", [("store", 0)], config(5, 9600, 1)),
    ("port, baud rate and folder", [("port", 1), ("baud", 0), ("store", 0)], config(2, 1200, 1)),
]


@pytest.mark.parametrize("picks,expected", [c[1:] for c in PICKS], ids=[c[0] for c in PICKS])
def test_list_changes_are_saved_at_close(fresh_bed, tool, picks, expected):
    fresh_bed.add_port(2)
    fresh_bed.add_port(5)
    proc, folder = tool({"message.csv": FULL, "config.csv": config(5, 9600, 0)})
    laid_out(fresh_bed)
    for control, index in picks:
        fresh_bed.ui_ok("select", control, index)
        assert wait_for(lambda: fresh_bed.ui_ok("cursel", control) == str(index))
    # The file is written at exit only, never while the window is open.
    time.sleep(0.2)
    assert read(folder, "config.csv") == config(5, 9600, 0)
    fresh_bed.ui_ok("click", "close")
    assert wait_exit(proc) == 0
    assert boxes(fresh_bed) == []
    assert read(folder, "config.csv") == expected


# ---- one copy at a time ----

def test_second_copy_ends_at_once_and_touches_nothing(fresh_bed, tool):
    fresh_bed.add_port(3)
    saved = config(3, 4800, 1)
    first, folder = tool({"message.csv": FULL, "config.csv": saved})
    laid_out(fresh_bed)
    path = os.path.join(folder, "config.csv")
    # An old mtime, so that a rewrite within the same second still shows.
    os.utime(path, (1_000_000_000, 1_000_000_000))
    before = os.stat(path).st_mtime_ns

    # One more copy in the same folder, one in an empty folder (which would warn about
    # the missing catalogue and write a config.csv if it got that far).
    other = program_folder(fresh_bed, "second copy elsewhere")
    for where in (folder, other):
        t = time.monotonic()
        second = start_tool(fresh_bed, where)
        assert exit_code(second, timeout=5) == 0
        assert time.monotonic() - t < 3.0
    assert boxes(fresh_bed) == []
    assert read(folder, "config.csv") == saved
    assert os.stat(path).st_mtime_ns == before
    assert sorted(os.listdir(other)) == ["km740tool.exe"]

    assert first.poll() is None
    assert fresh_bed.ui_ok("title") == "KM-740 TOOL"
    close_and_exit(fresh_bed, first)
    assert read(folder, "config.csv") == saved


# ---- damaged and random files ----

def _random(seed, size):
    return random.Random(seed).randbytes(size)


# (case, config.csv content or None for a directory, config.csv expected at exit or None).
# COM2 and COM5 are the bed's ports; a saved port that is not used gives way to COM2.
DAMAGED = [
    ("random bytes", _random(740, 600), config(2, 1200, 1)),
    ("LF line ends", b"PORT,5\nBAUDRATE,9600\nSTORE,0\n", config(2, 1200, 1)),
    ("only the folder", b"STORE,0\r\n", config(2, 1200, 0)),
    ("out of range", b"PORT,17\r\nBAUDRATE,300\r\nSTORE,2\r\n", config(2, 1200, 1)),
    ("negative and huge", b"PORT,-5\r\nBAUDRATE,99999999999\r\nSTORE,-1\r\n", config(2, 1200, 1)),
    ("empty line ends the parse", b"PORT,5\r\n\r\nBAUDRATE,9600\r\n", config(5, 1200, 1)),
    ("a directory", None, None),
]


@pytest.mark.parametrize("data,expected", [c[1:] for c in DAMAGED], ids=[c[0] for c in DAMAGED])
def test_damaged_config_falls_back_silently(fresh_bed, tool, request, data, expected):
    fresh_bed.add_port(2)
    fresh_bed.add_port(5)
    folder = program_folder(fresh_bed, request.node.name)
    if data is None:
        os.makedirs(os.path.join(folder, "config.csv"))
        proc, _ = tool({"message.csv": FULL}, folder=folder)
    else:
        proc, _ = tool({"message.csv": FULL, "config.csv": data}, folder=folder)
    laid_out(fresh_bed)
    assert boxes(fresh_bed) == []
    close_and_exit(fresh_bed, proc)
    path = os.path.join(folder, "config.csv")
    if expected is None:
        assert os.path.isdir(path)  # could not be written: lost silently, exit still 0
    else:
        assert read(folder, "config.csv") == expected


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_files_never_stop_the_program(fresh_bed, tool, seed):
    fresh_bed.add_port(4)
    proc, folder = tool({"message.csv": _random(seed, 2000),
                         "config.csv": _random(seed + 100, 300)})
    # At most the item-error box: random bytes cannot name all 15 keys.
    got = fresh_bed.ui("wait-box", 3000)
    if got[0] == 0:
        assert got[1] == "Error\t" + ITEM_ERROR
        fresh_bed.ui_ok("dismiss")
    laid_out(fresh_bed)
    assert boxes(fresh_bed) == []
    close_and_exit(fresh_bed, proc)
    assert WELL_FORMED.fullmatch(read(folder, "config.csv"))
