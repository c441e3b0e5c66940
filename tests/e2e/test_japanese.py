"""The real program in code page 932 with the Japanese catalogue (examples/message-ja.csv), in
both Japanese beds: "ja", a prefix made in Japanese, and "ja-en", an English prefix whose
programs run in Japanese (its icon-title font names the Western character set). Controls'
texts are read through the driver, painted texts from the screen glyph by glyph."""

import os
import shutil
import time

import pytest

from conftest import REPO, built_exe, wait_exit, wait_for
from dialog import (BAUD_ITEMS, config, cursel, expect_laid_out, items, label_text, read, rect,
                    text_height)
from tooldrive import base_name, bench, crlf  # noqa: F401

BEDS = {"ja": "bed_932", "ja-en": "bed_932_en"}
LABELS = {"port": "PORT_NO", "baud": "BAUDRATE", "store": "STORE_FOLDER"}
PAINTED = ("PORT_NO", "BAUDRATE", "STORE_FOLDER", "STAND_BY", "RECEIVE_DATA", "COMPLETE",
           "TIMEOUT")
SHOWN = ("START", "CLOSE", "DESKTOP")

# The shipped Japanese title is the built-in one: a title of its own shows that the catalogue's
# text reaches the title bar.
JA_TITLE = "KM-740 受信ツール"
SHIPPED_TITLE = b"WINDOW_TITLE,KM-740 TOOL\r\n"
JA_CSV = read(REPO, "examples", "message-ja.csv").replace(
    SHIPPED_TITLE, ("WINDOW_TITLE,%s\r\n" % JA_TITLE).encode("cp932"))
assert SHIPPED_TITLE not in JA_CSV
JA = {k.decode("ascii"): v.decode("cp932") for k, v in
      (line.split(b",", 1) for line in JA_CSV.split(b"\r\n") if line)}
# The same catalogue as Notepad saves "UTF-8 with BOM": the mark, UTF-8, and no line break
# after the last line, the title's; the title ends in é, which code page 932 lacks, and a byte
# that is not UTF-8.
JA_UTF8 = b"\xef\xbb\xbf" + "\r\n".join(
    ["%s,%s" % (k, v) for k, v in JA.items() if k != "WINDOW_TITLE"] +
    ["WINDOW_TITLE,%s é" % JA_TITLE]).encode("utf-8") + b"\xff"

# Shift-JIS records: trail bytes 0x5C (表 95 5C, ソ 83 5C, 能 94 5C), half-width katakana
# (0xA1-0xDF) and a plain backslash.
RECORDS = [t.encode("cp932") for t in (
    "No.001,表示,ｶﾀｶﾅ,OK", "No.002,ソフト,23.45,ﾐﾘ", "No.003,C:\\予定表\\,能力", "No.004,ｰ｡｢｣,終")]
# Longer than the 127 bytes the record line shows, with a lead byte as the 127th: the line
# must end before that character, not cut it in two.
LONG = ("No.005," + "ｱｲｳｴｵ" * 23 + "ソ表").encode("cp932") + b"\x95\x5cEND"
assert len(LONG) > 127 and LONG[126] == 0x95


@pytest.fixture(params=sorted(BEDS))
def bed(request):
    """Overrides the session's code-page-1252 bed for this module: each test runs in the
    Japanese beds it names (both by default), with the glyphs of the texts it reads."""
    b = request.getfixturevalue(BEDS[request.param])
    b.read_chars(*(JA[k] for k in PAINTED + SHOWN), *(r.decode("cp932") for r in RECORDS + [LONG]))
    return b


def only(name):
    return pytest.mark.parametrize("bed", [name], indirect=True)


@pytest.fixture
def records_file(tmp_path):
    path = tmp_path / "records.txt"
    path.write_bytes(crlf(RECORDS + [LONG]))
    return str(path)


def open_ja(bench, **kw):
    """The program with the Japanese catalogue, ready; no box at start (the catalogue is
    complete and valid)."""
    bench.idle_caption = JA["START"]
    bench.open(files={"message.csv": JA_CSV}, **kw)
    bench.bed.ui_ok("wait-caption", "start", JA["START"], 10000)


def test_every_text_reads_back_at_each_outcome(bench, records_file):
    open_ja(bench)
    bed = bench.bed
    desktop = bed.folders()[0]
    assert bed.ui_ok("title") == JA["WINDOW_TITLE"]
    assert bed.ui_ok("caption", "close") == JA["CLOSE"]
    assert items(bed, "store") == [JA["DESKTOP"], JA["MY_DOCUMENTS"]]
    assert items(bed, "baud") == BAUD_ITEMS
    for control, key in LABELS.items():
        assert label_text(bed, control) == JA[key], control
    assert wait_for(lambda: bench.status() == JA["STAND_BY"], timeout=5), bench.status()

    # Receiving: devsim sends the first half of the records, then falls silent.
    bench.start()
    path = bench.wait_file(desktop)
    sim = bench.sim("--file", records_file, "--fault", "silence", "--hold-ms", 5000)
    assert wait_for(lambda: read(path) == crlf(RECORDS[:2]), timeout=5), read(path)
    assert bed.ui_ok("caption", "start") == JA["CANCEL"]
    assert bench.status() == JA["RECEIVE_DATA"]
    assert wait_for(lambda: bench.last_record() == bed.as_read(RECORDS[1].decode("cp932")),
                    timeout=3), \
        bench.last_record()
    bed.ui_ok("click", "start")
    bench.wait_idle(3000)
    sim.kill()
    sim.communicate()

    # The ends of a download: the file byte-exact, the status line in Japanese.
    for args, key, written in ((("--baud", 38400), "COMPLETE", RECORDS + [LONG]),
                               (("--fault", "one-byte"), "TIMEOUT", RECORDS[:2])):
        bench.start()
        path = bench.wait_file(desktop)
        bench.send("--file", records_file, *args)
        bench.wait_idle()
        assert bench.status() == JA[key]
        assert read(path) == crlf(written)
        os.remove(path)


def test_record_line_is_cut_between_characters(bench, records_file):
    """The record line shows at most 127 bytes, ending before a character it cannot show
    whole. At 100% that line is wider than the window: a wider window is given the way
    Windows gives one on a move to another monitor (WM_DPICHANGED, here at the same DPI)."""
    open_ja(bench)
    bed = bench.bed
    x0, y0, _, y1 = map(int, bed.ui_ok("window-rect").split())
    bed.ui_ok("dpi-changed", bed.dpi, 4, y0, 1020, y1)
    bench.start()
    path = bench.wait_file(bed.folders()[0])
    with open(records_file, "wb") as f:
        f.write(crlf([LONG, LONG]))
    sim = bench.sim("--file", records_file, "--fault", "silence", "--hold-ms", 5000)
    assert wait_for(lambda: read(path) == crlf([LONG]), timeout=5), read(path)
    ox, oy = bed.client_origin()
    _, _, width, _ = map(int, bed.ui_ok("client").split())
    h = text_height(bed)
    top = rect(bed, "store")[3] + bed.scale(32) + h + bed.scale(4)
    line = lambda: bed.read_text(ox + bed.scale(16) - 4, oy + top, width - bed.scale(16), h + 7)
    assert wait_for(lambda: line() == bed.as_read(LONG[:126].decode("cp932")), timeout=3), \
        line()
    bed.ui_ok("click", "start")
    bench.wait_idle(3000)
    sim.kill()
    sim.communicate()


@only("ja")
def test_program_in_a_folder_named_with_trail_byte_5c(fresh_bed):
    """Trail bytes 0x5C in the folder's name and in the program's own, where a search for the
    last backslash that does not step over double-byte characters would end the folder; its
    message.csv saved as UTF-8 with BOM, the last line without a line break."""
    bed = fresh_bed
    bed.add_port(1)
    folder = os.path.join(bed.drive_c(), "tests", "表示ソフト")   # 95 5C 8E A6 83 5C ...
    exe = os.path.join(folder, "km740ソ.exe")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copyfile(built_exe("km740tool"), exe)
    for name, data in (("message.csv", JA_UTF8), ("config.csv", config(1, 38400, 0))):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    proc = bed.start_exe(bed.windows_path(exe), cwd=folder)
    bed.ui_ok("wait-window", 15000)
    bed.ui_ok("wait-caption", "start", JA["START"], 10000)
    assert bed.ui_ok("boxes") == ""                      # message.csv found and whole
    assert bed.ui_ok("title") == JA_TITLE + " ??"        # converted, é and 0xFF as "?"
    assert (cursel(bed, "baud"), cursel(bed, "store")) == (5, 1)     # config.csv found
    bed.ui_ok("select", "baud", 0)
    assert wait_for(lambda: cursel(bed, "baud") == 0)
    bed.ui_ok("close")
    assert wait_exit(proc) == 0
    assert read(folder, "config.csv") == config(1, 1200, 0)


@only("ja-en")
def test_box_in_japanese(bench):
    """The "all file names taken" box speaks the catalogue's Japanese, its count filled in."""
    open_ja(bench)
    desktop = bench.bed.folders()[0]
    now = int(time.time())
    for s in range(now - 1, now + 8):          # every second the begin step may fall in
        for n in range(1, 100):
            name = base_name(s) + (".csv" if n == 1 else "(%d).csv" % n)
            with open(os.path.join(desktop, name), "wb") as f:
                f.write(b"x")
    bench.start()
    box = bench.bed.ui_ok("wait-box", 5000)
    bench.bed.ui_ok("dismiss")
    assert box == "ERROR\t%s\\r\\n%s\\r\\n%s" % (JA["NAMES_TAKEN"].replace("%COUNT%", "99"),
                                                bench.bed.windows_path(desktop),
                                                JA["NAMES_TAKEN_HINT"])
    bench.assert_idle()


WHITE = 0xFFFFFF


def shown_in(bed, control):
    """The text a button or a closed list shows, read from the screen inside its frame (a
    list's up to its drop-down arrow): a text that does not fit cannot read whole."""
    left, top, right, bottom = rect(bed, control)
    ox, oy = bed.client_origin()
    shot = bed.screenshot(os.path.join(bed.root, "control.png"))
    middle = bed.pixels(shot, ox + left, oy + (top + bottom) // 2, right - left, 1)[0]
    inner = next(x for x in range(right - left) if middle[x] == WHITE)
    end = next(x for x in range(inner, right - left) if middle[x] not in (WHITE, 0))
    return bed.read_text(ox + left + inner, oy + top + 3, end - inner, bottom - top - 6,
                         shot=shot, ground=WHITE)


def test_layout_at_144_dpi_holds_every_text(bench):
    bed = bench.bed
    try:
        bed.set_dpi(144)
        open_ja(bench)
        expect_laid_out(bed, 144)
        for control, key in LABELS.items():      # read between the left margin and the list
            assert label_text(bed, control) == JA[key], control
        assert wait_for(lambda: bench.status() == JA["STAND_BY"], timeout=5), bench.status()
        for control, text in (("start", JA["START"]), ("close", JA["CLOSE"]),
                              ("store", JA["DESKTOP"]), ("baud", "9600 bps"), ("port", "COM1")):
            assert shown_in(bed, control) == text, control
    finally:
        bed.set_dpi(96)
