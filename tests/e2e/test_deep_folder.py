"""The real program in folders of 245 to 253 bytes (C:\\ paths inside the prefix's drive_c),
started from another working folder that holds decoy config.csv and message.csv files. The
files beside the program are used while their paths fit in 260 bytes; the decoys are never
read (their texts and settings never show) and never written."""

import os
import shutil

import pytest

from conftest import built_exe, wait_exit, wait_for
from dialog import DEFAULT_TEXTS, FILE_NOT_FOUND, catalogue, config, cursel, laid_out, read

BESIDE_MESSAGES = catalogue(dict(DEFAULT_TEXTS, WINDOW_TITLE="Beside title"))
DECOY_MESSAGES = catalogue(dict(DEFAULT_TEXTS, WINDOW_TITLE="Decoy title"))
# An extra line the program never writes: a rewritten file loses it.
BESIDE_CONFIG = config(3, 2400, 1) + b"NOTE,kept unless rewritten\r\n"
DECOY_CONFIG = config(2, 19200, 0)


def deep_folder(bed, length):
    """A new folder under drive_c whose Windows path is `length` bytes (two components, each
    well under the 255-byte limit of a name)."""
    first = "deep%d_" % length
    first += "a" * (120 - len(first))
    rest = length - len("C:\\") - len(first) - 1
    unix = os.path.join(bed.drive_c(), first, "b" * rest)
    shutil.rmtree(os.path.join(bed.drive_c(), first), ignore_errors=True)
    os.makedirs(unix)
    assert len(bed.windows_path(unix)) == length
    return unix


@pytest.mark.parametrize("length", range(245, 254))
def test_deep_folder_uses_only_the_files_beside_the_program(fresh_bed, length):
    for n in (1, 2, 3):
        fresh_bed.add_port(n)
    folder = deep_folder(fresh_bed, length)
    exe = os.path.join(folder, "km740tool.exe")
    shutil.copyfile(built_exe("km740tool"), exe)
    for name, data in (("config.csv", BESIDE_CONFIG), ("message.csv", BESIDE_MESSAGES)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    work = os.path.join(fresh_bed.drive_c(), "work%d" % length)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for name, data in (("config.csv", DECOY_CONFIG), ("message.csv", DECOY_MESSAGES)):
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)

    message_fits = length + len("\\message.csv") < 260
    config_fits = length + len("\\config.csv") < 260
    proc = fresh_bed.start_exe(fresh_bed.windows_path(exe), cwd=work)
    if not message_fits:
        assert fresh_bed.ui("wait-box", 10000) == (0, "Error\t" + FILE_NOT_FOUND)
        fresh_bed.ui_ok("dismiss")
    laid_out(fresh_bed)
    assert fresh_bed.ui_ok("boxes") == ""
    title = fresh_bed.ui_ok("title")
    assert title == ("Beside title" if message_fits else "KM-740 TOOL")
    # COM3 at 2400 bit/s from beside the program; nothing read gives the lowest port, COM1,
    # at 1200; the decoy would give COM2 at 19200.
    assert (cursel(fresh_bed, "port"), cursel(fresh_bed, "baud")) == \
        ((2, 1) if config_fits else (0, 0))
    fresh_bed.ui_ok("close")
    assert wait_exit(proc) == 0

    after = read(folder, "config.csv")
    assert after == (config(3, 2400, 1) if config_fits else BESIDE_CONFIG)
    assert read(work, "config.csv") == DECOY_CONFIG
    assert read(work, "message.csv") == DECOY_MESSAGES
    assert sorted(os.listdir(work)) == ["config.csv", "message.csv"]
    print("deep folder %d: title %r, config beside %s" %
          (length, title, "rewritten" if after != BESIDE_CONFIG else "untouched"))
