#!/usr/bin/python3
"""km740cap measured: achieved against offered rate at 38400 bit/s with 2-byte and 200-byte
records (natively over a socat pty pair, and km740cap.exe under Wine over a virtual COM port),
every record compared with what devsim sent; then the station soak (bench/station_soak.py):
one --continuous run over N data sets with hang-ups, every file compared, open files and
resident memory at the start, the middle and the end. Prints the figures; not a test, except
that it fails when a record or a data set is lost, a false file appears, a throughput row
falls under 0.99 of the offered rate, or the station does not stay flat.

Usage: bench/cap_bench.py [--native-only [--native-throughput]] [--sets N] [--hangup-every N]
                          [--bytes B] [--build build/host] [--win-build build/windows]
Builds nothing: cmake --build build/host (km740cap, devsim) and, for Wine, build/windows
(km740cap, uidriver, portcheck)."""
import argparse
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from devsim_records import crlf, gen  # noqa: E402
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import station_soak  # noqa: E402

LINE_RATE = 3840.0   # bytes per second at 38400 bit/s, 8N1


def say(text):
    print("cap_bench: " + text, flush=True)


class Events:
    """JSON lines of a running km740cap, from a pipe or from a file that grows."""

    def __init__(self, proc=None, path=None):
        self.proc, self.path = proc, path
        self.q = queue.Queue()
        threading.Thread(target=self._pipe if proc.stdout else self._file, daemon=True).start()

    def _pipe(self):
        for raw in self.proc.stdout:
            self.q.put(raw.decode("utf-8", "replace"))
        self.q.put(None)

    def _file(self):
        seen = 0
        while True:
            with open(self.path, "rb") as f:
                f.seek(seen)
                data = f.read()
            while b"\n" in data:
                line, data = data.split(b"\n", 1)
                seen += len(line) + 1
                self.q.put(line.decode("utf-8", "replace"))
            if self.proc.poll() is not None and not data:
                self.q.put(None)
                return
            time.sleep(0.005)

    def wait(self, name, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            line = self.q.get(timeout=max(0.01, deadline - time.monotonic()))
            if line is None:
                raise SystemExit("cap_bench: km740cap ended before the event %s" % name)
            line = line.strip()
            if line.startswith("{"):
                ev = json.loads(line)
                if ev["event"] == name:
                    return ev


def socat_pair(folder):
    app, dev = os.path.join(folder, "app"), os.path.join(folder, "dev")
    proc = subprocess.Popen(["socat", "-d", "-d", "pty,raw,echo=0,link=" + app, "pty,raw,echo=0,link=" + dev],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not (os.path.exists(app) and os.path.exists(dev)):
        time.sleep(0.01)
    return proc, app, dev


def throughput(devsim, dev, events, folder, length, total):
    """One paced data set; returns the row of figures."""
    count = total // (length + 2)
    events.wait("listening")
    sizes = []
    done = threading.Event()

    def sample():
        while not done.is_set():
            # Written as NAME.csv.part, renamed to NAME.csv at its end.
            files = [f for f in os.listdir(folder) if f.endswith((".csv", ".csv.part"))]
            try:
                size = os.path.getsize(os.path.join(folder, files[0])) if files else 0
            except FileNotFoundError:
                continue          # renamed between the listing and the look
            if not sizes or size != sizes[-1][1]:
                sizes.append((time.monotonic(), size))
            time.sleep(0.002)

    threading.Thread(target=sample, daemon=True).start()
    start = time.monotonic()
    out = subprocess.run([devsim, "--quiet", "--baud", "38400", "--count", str(count), "--length", str(length),
                          "--hold-ms", "0", dev], check=True, capture_output=True, text=True).stdout
    sent_end = time.monotonic()
    ev = events.wait("finished", timeout=120)
    done.set()
    sent = int(out.split("bytes=")[1])
    expected = crlf([gen(i, length) for i in range(1, count + 1)])
    files = [f for f in os.listdir(folder) if f.endswith(".csv")]
    data = open(os.path.join(folder, files[0]), "rb").read()
    final = next(t for t, s in sizes if s == len(data))
    offered = sent / (sent_end - start)
    achieved = len(data) / (final - start)
    intact = sum(1 for a, b in zip(data.split(b"\r\n"), expected.split(b"\r\n")) if a == b) - 1
    return {"length": length, "records": count, "sent": sent, "file": len(data), "expected": len(expected),
            "intact": max(intact, 0) if data != expected else count, "outcome": ev["outcome"],
            "offered": offered, "achieved": achieved, "ratio": achieved / offered}


def print_rows(where, rows):
    say("%s: record bytes | records | intact | file bytes / expected | offered B/s | achieved B/s | "
        "achieved/offered | outcome" % where)
    for r in rows:
        say("%s: %d | %d | %d | %d / %d | %.0f | %.0f | %.3f | %s" % (
            where, r["length"], r["records"], r["intact"], r["file"], r["expected"], r["offered"],
            r["achieved"], r["ratio"], r["outcome"]))


def native_throughput(build, total):
    rows = []
    for length in (2, 200):
        with tempfile.TemporaryDirectory() as folder:
            socat, app, dev = socat_pair(folder)
            out = os.path.join(folder, "out")
            os.mkdir(out)
            proc = subprocess.Popen([os.path.join(build, "km740cap"), "--port", app, "--baud", "38400", "--out", out,
                                     "--json", "--quiet"], stdout=subprocess.PIPE)
            rows.append(throughput(os.path.join(build, "devsim"), dev, Events(proc), out, length, total))
            proc.wait(timeout=10)
            socat.kill()
            socat.wait()
    print_rows("native", rows)
    return rows


def wine_throughput(build, win_build, total):
    import winebed
    bed = winebed.Bed(uidriver=os.path.join(win_build, "uidriver.exe"),
                      portcheck=os.path.join(win_build, "portcheck.exe"))
    bed.start()
    rows = []
    try:
        exe = os.path.join(bed.drive_c(), "km740cap.exe")
        shutil.copyfile(os.path.join(win_build, "km740cap.exe"), exe)
        for length in (2, 200):
            dev = bed.add_port(3)
            out = os.path.join(bed.drive_c(), "bench-%d" % length)
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            proc = bed.start_exe(bed.windows_path(exe), "--port", "COM3", "--baud", "38400",
                                 "--out", bed.windows_path(out), "--json", "--quiet")
            rows.append(throughput(os.path.join(build, "devsim"), dev, Events(proc, proc.out_path), out, length,
                                   total))
            proc.wait(timeout=10)
            bed.remove_port(3)
    finally:
        bed.stop()
    print_rows("wine", rows)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native-only", action="store_true", help="no Wine, and no throughput runs")
    parser.add_argument("--native-throughput", action="store_true",
                        help="with --native-only: the native throughput rows all the same")
    parser.add_argument("--sets", type=int, default=10000, help="data sets of the station soak (0: none)")
    parser.add_argument("--hangup-every", type=int, default=1000, help="a hang-up of the line every N data sets")
    parser.add_argument("--bytes", type=int, default=102400, help="bytes per throughput data set")
    parser.add_argument("--build", default=os.path.join(REPO, "build", "host"))
    parser.add_argument("--win-build", default=os.path.join(REPO, "build", "windows"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    ok = True
    runs = []
    if not args.native_only or args.native_throughput:
        runs.append(lambda: native_throughput(build, args.bytes))
    if not args.native_only:
        runs.append(lambda: wine_throughput(build, os.path.abspath(args.win_build), args.bytes))
    for run in runs:
        rows = run()
        ok &= all(r["file"] == r["expected"] and r["outcome"] == "complete" and r["ratio"] >= 0.99 for r in rows)
    if args.sets > 0:
        ok &= station_soak.soak(build, args.sets, 740, args.hangup_every)[0]
    if not ok:
        say("FAILED: a record or a data set was lost, a false file appeared, a data set was not complete, "
            "the line rate fell under 0.99, or the station did not stay flat")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
