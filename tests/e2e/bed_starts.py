"""Starts the Wine bed N times in a row (default 50) and checks after each start that no
COM port is left but the ones the bed made: proves that the start does not depend on luck.
Usage: python3 tests/e2e/bed_starts.py [N] [--restarts]  (--restarts: one fresh prefix,
then N server restarts, each of which maps and hides the host's serial ports again).
Prints one line per start and ends with 'bed starts: K of N passed'."""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winebed  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def exe(name):
    return os.path.join(os.environ.get("KM_WIN_BUILD", os.path.join(REPO, "build", "windows")),
                        name + ".exe")


def check(bed):
    """None when only the bed's own COM3 opens, else what was wrong."""
    out = [line.strip() for line in bed.run_query(exe("portcheck"), "--scan").stdout.splitlines()]
    opened = [line.split()[0] for line in out if line.endswith(" OK")]
    return None if opened == ["COM3"] else "ports that open: %r" % opened


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    count = int(args[0]) if args else 50
    restarts = "--restarts" in sys.argv
    passed = 0
    bed = None
    for i in range(1, count + 1):
        t = time.monotonic()
        problem = None
        try:
            if bed is None or not restarts:
                bed = winebed.Bed(uidriver=exe("uidriver"), portcheck=exe("portcheck")).start()
                bed.add_port(3)
            else:
                bed.restart_server()
            problem = check(bed)
        except Exception as e:  # noqa: BLE001 - a failed start is what we count
            problem = "%s: %s" % (type(e).__name__, e)
        finally:
            if bed is not None and (not restarts or problem):
                bed.stop()
                bed = None
        passed += problem is None
        print("start %d: %s (%.1f s)" % (i, problem or "ok", time.monotonic() - t), flush=True)
    if bed is not None:
        bed.stop()
    print("bed starts: %d of %d passed" % (passed, count))
    return 0 if passed == count else 1


if __name__ == "__main__":
    sys.exit(main())
