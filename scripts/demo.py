"""The main job, end to end: km740tool.exe under Wine with a virtual COM port, Start
pressed, devsim playing the device with a sample data set, and the CSV file it wrote.
Run by scripts/demo.sh, which builds what this needs."""

import argparse
import os
import shutil
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import winebed  # noqa: E402


def say(text):
    print("demo: " + text, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--records", default=os.path.join(REPO, "examples", "sample.csv"))
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--out", default=os.path.join(REPO, "build", "demo"))
    parser.add_argument("--win-build", default=os.path.join(REPO, "build", "windows"))
    parser.add_argument("--devsim", default=os.path.join(REPO, "build", "host", "devsim"))
    args = parser.parse_args()

    exe = os.path.join(args.win_build, "km740tool.exe")
    for path in (exe, os.path.join(args.win_build, "uidriver.exe"), args.devsim):
        if not os.path.isfile(path):
            sys.exit("demo: %s is missing; run scripts/demo.sh, which builds it" % path)
    os.makedirs(args.out, exist_ok=True)

    bed = winebed.Bed(uidriver=os.path.join(args.win_build, "uidriver.exe"),
                      portcheck=os.path.join(args.win_build, "portcheck.exe"))
    say("starting Wine in a private prefix with a virtual display (first time: ~15 s)")
    bed.start()
    try:
        return run(bed, exe, args)
    finally:
        say("stopping Wine")
        bed.stop()


def run(bed, exe, args):
    device = bed.add_port(1)
    say("virtual COM1 is a pty pair; the device side is %s" % device)

    folder = os.path.join(bed.drive_c(), "KM740")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copyfile(exe, os.path.join(folder, "km740tool.exe"))
    shutil.copyfile(os.path.join(REPO, "examples", "message.csv"), os.path.join(folder, "message.csv"))
    with open(os.path.join(folder, "config.csv"), "wb") as f:
        f.write(b"PORT,1\r\nBAUDRATE,%d\r\nSTORE,1\r\n" % args.baud)
    desktop, _ = bed.folders()
    before = set(os.listdir(desktop))

    say("starting %s" % bed.windows_path(os.path.join(folder, "km740tool.exe")))
    program = bed.start_exe(bed.windows_path(os.path.join(folder, "km740tool.exe")), cwd=folder)
    bed.ui_ok("wait-window", 10000)
    say("window up: title %r, port %s, baud %s" % (
        bed.ui_ok("title"), bed.ui_ok("cursel", "port"), bed.ui_ok("cursel", "baud")))

    say("pressing Start")
    started = time.monotonic()
    bed.ui_ok("click", "start")
    bed.ui_ok("wait-caption", "start", "Cancel", 5000)
    # The port opens at the first tick, 250 ms after Start, and discards what came before.
    time.sleep(0.6)

    say("devsim sends %s at %d baud" % (os.path.relpath(args.records, REPO), args.baud))
    sent = subprocess.run([args.devsim, "--file", args.records, "--baud", str(args.baud),
                           "--hold-ms", "200", "--quiet", device],
                          stdout=subprocess.PIPE, check=True, timeout=120).stdout.decode().strip()
    say("devsim: " + sent)

    bed.ui_ok("wait-caption", "start", "Start", 40000)
    elapsed = time.monotonic() - started
    status = read_status(bed)
    say("download ended %.2f s after Start; the status line reads %r" % (elapsed, status))

    shot = os.path.join(args.out, "demo-screen.png")
    bed.screenshot(shot)
    x, y, right, bottom = map(int, bed.ui_ok("window-rect").split())
    window_png = os.path.join(args.out, "demo-window.png")
    subprocess.run(["convert", shot, "-crop", "%dx%d+%d+%d" % (right - x, bottom - y, x, y),
                    "+repage", window_png], check=True)
    say("screenshot of the window: %s" % os.path.relpath(window_png, REPO))

    new = sorted(set(os.listdir(desktop)) - before)
    if len(new) != 1:
        say("expected one new file on the Desktop, found %r" % new)
        return 1
    path = os.path.join(desktop, new[0])
    with open(path, "rb") as f:
        content = f.read()
    say("the program wrote %s (%d bytes, %d records):" % (
        bed.windows_path(path), len(content), content.count(b"\r\n")))
    sys.stdout.write(content.decode("cp1252", "replace").replace("\r\n", "\n"))
    with open(args.records, "rb") as f:
        expected = b"".join(line.rstrip(b"\r\n") + b"\r\n" for line in f if line.rstrip(b"\r\n"))
    same = content == expected
    say("content equals the records sent, each with CR LF: %s" % ("yes" if same else "NO"))

    say("closing the window")
    bed.ui_ok("close")
    code = program.wait(timeout=15)
    with open(os.path.join(folder, "config.csv"), "rb") as f:
        say("exit code %d; config.csv now holds %r" % (code, f.read()))
    return 0 if same and code == 0 and status.startswith("Complete") else 1


def read_status(bed):
    """The painted status line, read back from the screen."""
    _, folder_top, _, folder_bottom = map(int, bed.ui_ok("rect", "store").split())
    ox, oy = bed.client_origin()
    client_w = int(bed.ui_ok("client").split()[2])
    return bed.read_text(ox + 8, oy + folder_bottom + 30, client_w // 2, 24)


if __name__ == "__main__":
    sys.exit(main())
