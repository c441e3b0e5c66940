"""Takes the picture of the laid-out window for the documentation: starts a Wine bed with
one virtual port (COM1), runs km740tool.exe there with the built-in texts, and writes the
window, cropped from a screenshot, to the given PNG; at the given DPI of the prefix (96,
100%, when none is given). With "ja", in a prefix made in Japanese (code page 932) with
examples/message-ja.csv. Usage: shoot.py BUILD_DIR OUT.png [DPI [ja]]"""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winebed  # noqa: E402
from dialog import catalogue, config, laid_out, read, status_text  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def main(build, out, dpi=96, lang=None):
    exe = {name: os.path.join(build, name + ".exe")
           for name in ("km740tool", "uidriver", "portcheck")}
    for path in exe.values():
        if not os.path.isfile(path):
            sys.exit("shoot: %s is not built" % path)
    messages, start, ready = catalogue(), "Start", "Ready."
    if lang == "ja":
        messages = read(REPO, "examples", "message-ja.csv")
        texts = dict(line.split(b",", 1) for line in messages.split(b"\r\n") if line)
        start, ready = (texts[k].decode("cp932") for k in (b"START", b"STAND_BY"))
    bed = winebed.Bed(uidriver=exe["uidriver"], portcheck=exe["portcheck"],
                      kind="932" if lang == "ja" else "1252")
    bed.start()
    try:
        bed.set_dpi(dpi)
        bed.add_port(1)
        folder = os.path.join(bed.drive_c(), "km740")
        os.makedirs(folder)
        shutil.copyfile(exe["km740tool"], os.path.join(folder, "km740tool.exe"))
        if lang == "ja":
            bed.read_chars(ready)
        for name, data in (("message.csv", messages), ("config.csv", config(1, 9600, 1))):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        proc = bed.start_exe(bed.windows_path(os.path.join(folder, "km740tool.exe")), cwd=folder)
        laid_out(bed, start)
        # The texts are painted in the paint after the layout's own: wait until they show.
        deadline = time.monotonic() + 5
        while status_text(bed) != ready:
            if time.monotonic() > deadline:
                sys.exit("shoot: the status line does not read %s" % ready)
            time.sleep(0.1)
        x0, y0, x1, y1 = map(int, bed.ui_ok("window-rect").split())
        shot = bed.screenshot(os.path.join(bed.root, "screen.png"))
        subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0),
                        "+repage", "-strip", out], check=True, timeout=30)
        bed.ui_ok("close")
        proc.wait(timeout=10)
    finally:
        bed.stop()
    print("shoot: wrote %s (%dx%d)" % (out, x1 - x0, y1 - y0))


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4, 5) or sys.argv[4:] not in ([], ["ja"]):
        sys.exit(__doc__)
    main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]),
         int(sys.argv[3]) if len(sys.argv) >= 4 else 96, sys.argv[4] if len(sys.argv) == 5 else None)
