#!/usr/bin/python3
"""km740cap measured: achieved against offered rate at 38400 bit/s with 2-byte and 200-byte
records (natively over a socat pty pair, and km740cap.exe under Wine over a virtual COM port),
every record compared with what devsim sent; then --continuous over many data sets with the
process's open files and resident memory at the start, the middle and the end. Prints the
figures; not a test, except that it fails when a record is lost or the run does not stay flat.

Usage: bench/cap_bench.py [--native-only] [--sets N] [--bytes B] [--build build/host]
                          [--win-build build/windows]
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
            files = [f for f in os.listdir(folder) if f.endswith(".csv")]
            size = os.path.getsize(os.path.join(folder, files[0])) if files else 0
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


def proc_figures(pid):
    fds = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return fds, rss


def continuous(build, sets):
    """--continuous over `sets` data sets of 3 records; open files and memory sampled."""
    with tempfile.TemporaryDirectory() as folder:
        socat, app, dev = socat_pair(folder)
        out = os.path.join(folder, "out")
        os.mkdir(out)
        proc = subprocess.Popen([os.path.join(build, "km740cap"), "--port", app, "--baud", "38400", "--out", out,
                                 "--json", "--quiet", "--continuous"], stdout=subprocess.PIPE)
        events = Events(proc)
        samples = {}
        marks = {1: "start", max(1, sets // 2): "middle", sets: "end"}
        bad = 0
        started = time.monotonic()
        for n in range(1, sets + 1):
            events.wait("listening")
            subprocess.run([os.path.join(build, "devsim"), "--quiet", "--baud", "38400", "--count", "3",
                            "--length", "10", "--hold-ms", "0", dev], check=True, stdout=subprocess.DEVNULL)
            ev = events.wait("finished")
            if ev["outcome"] != "complete" or open(ev["path"], "rb").read() != crlf([gen(i, 10) for i in (1, 2, 3)]):
                bad += 1
            if n in marks:
                samples[marks[n]] = (n,) + proc_figures(proc.pid)
        elapsed = time.monotonic() - started
        proc.terminate()
        code = proc.wait(timeout=10)
        socat.kill()
        socat.wait()
        files = len([f for f in os.listdir(out) if f.endswith(".csv")])
    say("continuous: %d data sets in %.0f s (%.2f s each), %d files, %d not complete, exit %d after SIGTERM"
        % (sets, elapsed, elapsed / sets, files, bad, code))
    for mark in ("start", "middle", "end"):
        n, fds, rss = samples[mark]
        say("continuous: %-6s after data set %4d: open files %d, VmRSS %d kB" % (mark, n, fds, rss))
    flat = samples["end"][1] == samples["start"][1] and samples["end"][2] - samples["start"][2] <= 256
    return bad == 0 and files == sets and code == 130 and flat


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--native-only", action="store_true", help="no Wine, and no throughput runs")
    parser.add_argument("--sets", type=int, default=1000, help="data sets of the --continuous run")
    parser.add_argument("--bytes", type=int, default=102400, help="bytes per throughput data set")
    parser.add_argument("--build", default=os.path.join(REPO, "build", "host"))
    parser.add_argument("--win-build", default=os.path.join(REPO, "build", "windows"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    ok = True
    if not args.native_only:
        for rows in (native_throughput(build, args.bytes),
                     wine_throughput(build, os.path.abspath(args.win_build), args.bytes)):
            ok &= all(r["file"] == r["expected"] and r["outcome"] == "complete" for r in rows)
    ok &= continuous(build, args.sets)
    if not ok:
        say("FAILED: a record was lost, a data set was not complete, or the run did not stay flat")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
