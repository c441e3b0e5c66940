"""What the Wine tests know about the tool's dialog: the default message catalogue, the
config.csv format, and helpers that wait for the laid-out window, read its painted texts
back by OCR and close it. Used by test_startup.py, test_ui.py and shoot.py."""

import os
import shutil
import subprocess
import time

# The catalogue keys in their fixed order, with the built-in texts.
DEFAULT_TEXTS = {
    "PORT_NO": "Port No.:",
    "BAUDRATE": "Baudrate:",
    "STORE_FOLDER": "Stored to:",
    "WINDOW_TITLE": "KM-740 TOOL",
    "DESKTOP": "Desktop",
    "MY_DOCUMENTS": "My Documents",
    "START": "Start",
    "CANCEL": "Cancel",
    "CLOSE": "Close",
    "NOT_ENABLED": "is not enabled.",
    "NO_ENABLE_PORTS": "All comm ports are not enabled.",
    "STAND_BY": "Ready.",
    "RECEIVE_DATA": "Receiving data...",
    "COMPLETE": "Complete.",
    "TIMEOUT": "Timeout error.",
}

PORT_ITEMS = ["COM%d" % n for n in range(1, 17)]
BAUD_ITEMS = ["1200 bps", "2400 bps", "4800 bps", "9600 bps", "19200 bps", "38400 bps"]
BAUD_RATES = [1200, 2400, 4800, 9600, 19200, 38400]

FILE_NOT_FOUND = "A Message file not found. Program uses default value."
ITEM_ERROR = "Message item error. One or more items are set to default value."


def catalogue(texts=None, eol=b"\r\n"):
    """message.csv bytes: one key,text line per entry of texts (default: every built-in
    text). Texts are str (encoded cp1252, the bed's ANSI code page) or raw bytes."""
    texts = DEFAULT_TEXTS if texts is None else texts
    out = b""
    for key, text in texts.items():
        raw = text if isinstance(text, bytes) else text.encode("cp1252")
        out += key.encode("ascii") + b"," + raw + eol
    return out


def config(port=1, baud=9600, store=1):
    """config.csv bytes exactly as the tool writes them."""
    return b"PORT,%d\r\nBAUDRATE,%d\r\nSTORE,%d\r\n" % (port, baud, store)


def read(*path):
    """The bytes of the file at the path joined from the parts."""
    with open(os.path.join(*path), "rb") as f:
        return f.read()


def laid_out(bed, start_caption="Start", timeout_ms=10000):
    """Waits for the window and its first layout (the template's button reads "START" until
    then); fails the test if either does not come."""
    bed.ui_ok("wait-window", timeout_ms)
    bed.ui_ok("wait-caption", "start", start_caption, timeout_ms)


def rect(bed, control):
    """A control's rectangle in the dialog's client coordinates."""
    return tuple(map(int, bed.ui_ok("rect", control).split()))


def items(bed, control):
    out = bed.ui_ok("items", control)
    return out.split("\n") if out else []


def cursel(bed, control):
    return int(bed.ui_ok("cursel", control))


def text_height(bed):
    """The line height h of the layout's font: the buttons are h + 16 high (at 96 DPI; the
    16 grows with the DPI)."""
    _, top, _, bottom = rect(bed, "start")
    return bottom - top - bed.scale(16)


def status_text(bed):
    """The status line as painted: it starts 32 px below the folder list, at x = 8, and is
    one text line high (the last record follows h + 4 below it, so the crop stops short).
    Those sizes are at 96 DPI and grow with it."""
    _, _, w, _ = map(int, bed.ui_ok("client").split())
    store_bottom = rect(bed, "store")[3]
    h = text_height(bed)
    x, y = bed.client_origin()
    top = store_bottom + bed.scale(32)
    return bed.read_text(x + bed.scale(8), y + top - 3, w - 2 * bed.scale(8), h + 5)


CONTROLS = ("port", "baud", "store", "start", "close")


def _apart(a, b):
    return a[2] <= b[0] or b[2] <= a[0] or a[3] <= b[1] or b[3] <= a[1]


def expect_laid_out(bed, dpi):
    """The font made for the DPI; the controls inside the client area and apart; the status
    area, between the folder list and the Close button, holding the status line and the
    record line below it."""
    h = text_height(bed)
    assert h == bed.text_heights[dpi]
    _, _, cw, ch = map(int, bed.ui_ok("client").split())
    boxes = {c: rect(bed, c) for c in CONTROLS}
    for i, a in enumerate(CONTROLS):
        box = boxes[a]
        assert 0 <= box[0] and 0 <= box[1] and box[2] <= cw and box[3] <= ch, (a, box)
        for b in CONTROLS[i + 1:]:
            assert _apart(box, boxes[b]), (a, box, b, boxes[b])
    status_top = boxes["store"][3] + bed.scale(32)
    assert status_top + h + bed.scale(4) + h <= boxes["close"][1]


def label_text(bed, control):
    """The painted label left of a list: from x = 8 up to the list, over the list's rows."""
    left, top, _, bottom = rect(bed, control)
    x, y = bed.client_origin()
    return bed.read_text(x + 4, y + top, left - 5, bottom - top)


def boxes(bed):
    """Open message boxes as [(caption, text)]."""
    out = bed.ui_ok("boxes")
    return [tuple(line.split("\t", 1)) for line in out.split("\n") if line]


def close_box(bed):
    """Where the title bar's close box is on the screen: Wine draws its own frame without a
    window manager; the box sits at the caption's right end, mid-height."""
    x0, y0, x1, _ = map(int, bed.ui_ok("window-rect").split())
    _, client_top = bed.client_origin()
    return x1 - 12, (y0 + client_top) // 2


def xdotool(bed, *args):
    """Real X input (a mouse click on the frame, a key), for what the driver cannot post."""
    if shutil.which("xdotool") is None:
        import pytest  # only the tests come here; shoot.py runs without pytest
        pytest.skip("xdotool is not installed (scripts/deps.sh wine)")
    subprocess.run(["xdotool"] + [str(a) for a in args], env=bed.env, check=True,
                   timeout=10, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def exit_code(proc, timeout=10.0):
    """The program's exit code, or None if it still runs after timeout seconds."""
    deadline = time.monotonic() + timeout
    while proc.poll() is None:
        if time.monotonic() > deadline:
            return None
        time.sleep(0.02)
    return proc.returncode
