"""The real program at display scales of 100% to 200% under Wine (the prefix's LogPixels):
the window's size, its controls apart and inside it, the painted texts read back glyph by
glyph in the font made for that DPI, the record line during a download, and a download to
"Complete."."""

import os

import pytest

from conftest import wait_for
from dialog import DEFAULT_TEXTS, expect_laid_out, label_text, status_text
from tooldrive import bench, crlf, gen, outputs, read  # noqa: F401
from winebed import scale

LABELS = {"port": "PORT_NO", "baud": "BAUDRATE", "store": "STORE_FOLDER"}


@pytest.fixture(scope="module")
def back_to_96(bed):
    """The other tests read text at 96 DPI: the prefix returns to it after this module."""
    yield
    bed.set_dpi(96)


@pytest.mark.parametrize("dpi", [96, 120, 144, 192])
def test_window_scales_and_reads_whole_at_every_dpi(back_to_96, bench, dpi, record_property):
    bed = bench.bed
    bed.set_dpi(dpi)
    bench.open()
    desktop = bed.folders()[0]
    bed.ui_ok("wait-caption", "start", "Start", 10000)

    # 400 x 240 at 100%, scaled and centred on the 1024 x 768 screen.
    x0, y0, x1, y1 = map(int, bed.ui_ok("window-rect").split())
    _, _, cw, ch = map(int, bed.ui_ok("client").split())
    record_property("window", "%dx%d" % (x1 - x0, y1 - y0))
    record_property("client", "%dx%d" % (cw, ch))
    print("dpi %d: window %dx%d, client %dx%d" % (dpi, x1 - x0, y1 - y0, cw, ch))
    assert (x1 - x0, y1 - y0) == (scale(400, dpi), scale(240, dpi))
    assert (x0, y0) == ((1024 - (x1 - x0)) // 2, (768 - (y1 - y0)) // 2)

    expect_laid_out(bed, dpi)

    # Every painted text reads back exactly, in glyphs painted at this DPI.
    assert wait_for(lambda: status_text(bed) == "Ready.", timeout=5), status_text(bed)
    for control, key in LABELS.items():
        assert label_text(bed, control) == DEFAULT_TEXTS[key], control

    # During a download the status and the last record show whole (devsim sends 2 of the 4
    # records, then falls silent); Cancel ends it.
    bench.start()
    path = bench.wait_file(desktop)
    sim = bench.sim("--count", 4, "--length", 20, "--baud", 38400, "--fault", "silence",
                    "--hold-ms", 3000)
    assert wait_for(lambda: read(path).count(b"\r\n") == 2, timeout=5)
    assert wait_for(lambda: bench.last_record() == gen(2, 20).decode(), timeout=3), \
        bench.last_record()
    # Three full stops and an ellipsis character look alike: either reading is the text.
    assert bench.status().replace("\u2026", "...") == "Receiving data..."
    bed.ui_ok("click", "start")
    bench.wait_idle(3000)
    sim.kill()
    sim.communicate()
    assert outputs(desktop) == []

    # A whole download to "Complete.".
    bench.start()
    path = bench.wait_file(desktop)
    records, _ = bench.send("--count", 3, "--length", 24, "--baud", 38400)
    assert records == 3
    bench.wait_idle()
    assert read(path) == crlf(gen(i, 24) for i in (1, 2, 3))
    assert bench.status() == "Complete."
    os.remove(path)


def test_dpi_change_mid_download_lays_out_again_and_the_download_goes_on(back_to_96, bench):
    """Wine has one DPI for every monitor and never sends WM_DPICHANGED; the driver sends
    it as Windows does when the window is dragged onto a 150% monitor, while records come."""
    bed = bench.bed
    bed.set_dpi(96)
    bench.open()
    desktop = bed.folders()[0]
    bed.ui_ok("wait-caption", "start", "Start", 10000)
    bench.start()
    path = bench.wait_file(desktop)
    # 40 records of 20 bytes at 1200 baud: about 7 s.
    sim = bench.sim("--count", 40, "--length", 20, "--baud", 1200)
    assert wait_for(lambda: read(path).count(b"\r\n") >= 3, timeout=10)
    x0, y0, _, _ = map(int, bed.ui_ok("window-rect").split())
    try:
        bed.read_at(144)
        bed.ui_ok("dpi-changed", 144, x0, y0, x0 + 600, y0 + 360)
        assert tuple(map(int, bed.ui_ok("window-rect").split())) == (x0, y0, x0 + 600, y0 + 360)
        expect_laid_out(bed, 144)
        assert bed.ui_ok("caption", "start") == "Cancel"
        assert bench.status().replace("\u2026", "...") == "Receiving data..."
        shown = {gen(i, 20).decode() for i in range(3, 41)}
        assert wait_for(lambda: bench.last_record() in shown, timeout=3), bench.last_record()
        assert bench.sent(sim)[0] == 40
        bench.wait_idle()
        assert read(path) == crlf(gen(i, 20) for i in range(1, 41))
        assert bench.status() == "Complete."
        for control, key in LABELS.items():
            assert label_text(bed, control) == DEFAULT_TEXTS[key], control
    finally:
        bed.read_at(96)
