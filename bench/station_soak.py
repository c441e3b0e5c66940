#!/usr/bin/python3
"""Station soak: ONE `km740cap --continuous --json` run natively over a socat pty pair takes N
data sets (default 10,000) from a seeded generator and must file every one byte-exact, in
order, in a file of its own, with nothing else in the folder and every noise line counted.

What is sent (all flooded: each write goes to the pty as fast as it takes it; a device at
38400 bit/s would need about 4x longer for the same bytes):
  - each data set: STX, 1..40 records of 2..200 printable bytes (commas and spaces among
    them), ETX, every line ended by CR LF;
  - at least 10% of the data sets back to back, several in one os.write;
  - the others alone, 0..250 ms apart; a few written in pieces that cut lines apart;
  - noise lines (never STX, never empty) before some data sets, inside or outside the write;
  - a hang-up every --hangup-every data sets: socat ended and started again at the same paths,
    only after the station reported the data set before it finished, so no data set is cut.
Measured: wall time, data sets per second, open fds and VmRSS at the start, middle and end,
the time from the last byte of a data set written to its `finished` event (median, p99), and
an fsync probe on the same file system (the same writes with and without fsync + rename).

Usage: bench/station_soak.py [--sets N] [--seed S] [--hangup-every N] [--build build/host]
                             [--tmp DIR]
Exit status 0 only when every check holds; the figures are printed either way."""
import argparse
import json
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

STX, ETX = b"\x02\r\n", b"\x03\r\n"
# Printable ASCII with commas and spaces weighted up: CSV-like records.
ALPHABET = bytes(range(0x20, 0x7F)) + b",,,,,,    "


def say(text):
    print("station_soak: " + text, flush=True)


def percentile(values, p):
    values = sorted(values)
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


# ------------------------------------------------------------------ what is sent

def make_records(rng):
    records = []
    for _ in range(rng.randint(1, 40)):
        length = rng.randint(2, 200)
        records.append(bytes(rng.choice(ALPHABET) for _ in range(length)))
    return records


def make_noise(rng):
    """1..3 lines outside a data set: never empty (an empty line is not counted), never STX."""
    lines = []
    for _ in range(rng.randint(1, 3)):
        kind = rng.random()
        if kind < 0.1:
            lines.append(b"\x03")          # a stray ETX outside a data set
        elif kind < 0.2:
            lines.append(b"X")             # a one-byte line
        else:
            lines.append(b"noise " + bytes(rng.choice(ALPHABET) for _ in range(rng.randint(0, 60))))
    return lines


def plan(sets, seed, hangup_every):
    """The writes, in order: ("write", [pieces], [set numbers ending in it], noise lines,
    noise bytes, gap after) or ("hangup",)."""
    rng = random.Random(seed)
    expected = []          # file bytes of each data set, in order
    steps = []
    n = 0
    in_bursts = 0
    while n < sets:
        if n > 0 and n % hangup_every == 0 and (not steps or steps[-1][0] != "hangup"):
            steps.append(("hangup",))
        room = hangup_every - n % hangup_every        # a burst never spans a hang-up
        burst = rng.random() < 0.08 and room >= 2 and sets - n >= 2
        count = min(rng.randint(2, 6), room, sets - n) if burst else 1
        data, ends, noise_lines, noise_bytes = b"", [], 0, 0
        for _ in range(count):
            if rng.random() < 0.12:
                noise = make_noise(rng)
                noise_lines += len(noise)
                noise_bytes += sum(len(x) + 2 for x in noise)
                chunk = b"".join(x + b"\r\n" for x in noise)
                if not burst and rng.random() < 0.5:
                    # Noise in a write of its own, a moment before the data set.
                    steps.append(("write", [chunk], [], len(noise), len(chunk), rng.uniform(0, 0.05)))
                    noise_lines -= len(noise)
                    noise_bytes -= len(chunk)
                else:
                    data += chunk
            records = make_records(rng)
            body = b"".join(r + b"\r\n" for r in records)
            expected.append(body)
            data += STX + body + ETX
            n += 1
            ends.append(n)
        if burst:
            in_bursts += count
        pieces = [data]
        if not burst and rng.random() < 0.05 and len(data) > 8:
            # Cut anywhere, lines and CR LF pairs included.
            cuts = sorted(rng.sample(range(1, len(data)), min(2, len(data) - 1)))
            pieces = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
        steps.append(("write", pieces, ends, noise_lines, noise_bytes, rng.uniform(0, 0.25)))
    return steps, expected, in_bursts


# ------------------------------------------------------------------ the line and the station

class Line:
    """A socat pty pair at fixed paths; `hang_up` ends it under the open port."""

    def __init__(self, folder):
        self.app = os.path.join(folder, "ttyapp")
        self.dev = os.path.join(folder, "ttydev")
        self.proc, self.fd = None, None
        self.plug()

    def plug(self):
        self.proc = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + self.app, "pty,raw,echo=0,link=" + self.dev],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not (os.path.exists(self.app) and os.path.exists(self.dev)):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("station_soak: socat gave no pty pair")
            time.sleep(0.01)
        self.fd = os.open(self.dev, os.O_WRONLY | os.O_NOCTTY)

    def hang_up(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait()
        for path in (self.app, self.dev):
            if os.path.lexists(path):
                os.unlink(path)

    def write(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]


class Events:
    """km740cap's JSON events with the monotonic time each was read."""

    def __init__(self, proc):
        self.proc = proc
        self.all = []
        self.by_kind = {}
        self.cond = threading.Condition()
        self.ended = False
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            now = time.monotonic()
            line = raw.decode("utf-8", "replace").strip()
            if not line.startswith("{"):
                continue
            ev = json.loads(line)
            with self.cond:
                self.all.append((now, ev))
                self.by_kind.setdefault(ev["event"], []).append((now, ev))
                self.cond.notify_all()
        with self.cond:
            self.ended = True
            self.cond.notify_all()

    def count(self, kind):
        with self.cond:
            return len(self.by_kind.get(kind, []))

    def wait_count(self, kind, n, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while len(self.by_kind.get(kind, [])) < n:
                left = deadline - time.monotonic()
                if left <= 0 or self.ended:
                    return False
                self.cond.wait(left)
            return True

    def wait_end(self, timeout):
        deadline = time.monotonic() + timeout
        with self.cond:
            while not self.ended and time.monotonic() < deadline:
                self.cond.wait(deadline - time.monotonic())
            return self.ended

    def of(self, kind):
        with self.cond:
            return list(self.by_kind.get(kind, []))


def proc_figures(pid):
    fds = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return fds, rss


# ------------------------------------------------------------------ the fsync probe

def fsync_probe(folder, files, size):
    """Per file, as the station writes one: exclusive create, `size` bytes in writes of
    about 100 bytes, then close and rename; once without and once with fsync before the
    close. Returns the seconds per file of each (lists)."""
    chunk = b"x" * 98 + b"\r\n"
    results = {}
    for sync in (False, True):
        times = []
        for i in range(files):
            part = os.path.join(folder, "probe-%d-%d.csv.part" % (sync, i))
            start = time.perf_counter()
            fd = os.open(part, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            left = size
            while left > 0:
                left -= os.write(fd, chunk[:min(left, len(chunk))])
            if sync:
                os.fsync(fd)
            os.close(fd)
            os.rename(part, part[:-5])
            times.append(time.perf_counter() - start)
        results[sync] = times
    return results[False], results[True]


# ------------------------------------------------------------------ the run

def soak(build, sets, seed, hangup_every, tmp=None):
    """Runs the soak; prints the figures; returns (ok, figures)."""
    steps, expected, in_bursts = plan(sets, seed, hangup_every)
    folder = tempfile.mkdtemp(prefix="km740soak-", dir=tmp)
    out = os.path.join(folder, "out")
    os.mkdir(out)
    failures = []
    fig = {"sets": sets, "records": sum(b.count(b"\r\n") for b in expected),
           "record_bytes": sum(len(b) for b in expected), "in_bursts": in_bursts}
    line = Line(folder)
    errlog = open(os.path.join(folder, "stderr.txt"), "wb")
    proc = subprocess.Popen([os.path.join(build, "km740cap"), "--port", line.app, "--baud", "38400",
                             "--out", out, "--json", "--quiet", "--continuous"],
                            stdout=subprocess.PIPE, stderr=errlog)
    events = Events(proc)
    last_byte = {}          # data set -> monotonic time its ETX was written
    samples = {}
    marks = {1: "start", max(1, sets // 2): "middle", sets: "end"}
    noise_lines = noise_bytes = sent_bytes = hangups = 0
    hangup_seconds = []
    pause_rng = random.Random(seed + 1)     # pauses between the pieces of a cut write
    try:
        if not events.wait_count("listening", 1, 10):
            raise RuntimeError("km740cap never listened")
        started = time.monotonic()
        done = 0
        for step in steps:
            if step[0] == "hangup":
                # Only between data sets the station has finished: none is cut.
                if not events.wait_count("finished", done, 60):
                    raise RuntimeError("data set %d never finished before the hang-up" % done)
                t0 = time.monotonic()
                failed, listening = events.count("portFailed"), events.count("listening")
                line.hang_up()
                if not events.wait_count("portFailed", failed + 1, 10):
                    raise RuntimeError("no portFailed after hang-up %d" % (hangups + 1))
                line.plug()
                if not events.wait_count("listening", listening + 1, 20):
                    raise RuntimeError("the port was not opened again after hang-up %d" % (hangups + 1))
                hangups += 1
                hangup_seconds.append(time.monotonic() - t0)
                continue
            _, pieces, ends, n_lines, n_bytes, gap = step
            for i, piece in enumerate(pieces):
                if i:
                    time.sleep(pause_rng.uniform(0, 0.03))
                line.write(piece)
                sent_bytes += len(piece)
            now = time.monotonic()
            for n in ends:
                last_byte[n] = now
            noise_lines += n_lines
            noise_bytes += n_bytes
            if ends:
                done = ends[-1]
                for n in ends:
                    if n in marks:
                        # Sampled between data sets: once every data set of this write has
                        # finished and nothing more is sent, no data set's file is open.
                        if not events.wait_count("finished", done, 60):
                            raise RuntimeError("data set %d never finished" % done)
                        samples[marks[n]] = (done,) + proc_figures(proc.pid)
            time.sleep(gap)
        if not events.wait_count("finished", sets, 60):
            raise RuntimeError("only %d of %d data sets finished" % (events.count("finished"), sets))
        wall = time.monotonic() - started
        time.sleep(0.5)      # the last poll's skipped lines, if any
    except (RuntimeError, OSError) as error:
        failures.append(str(error))
        wall = time.monotonic() - started if "started" in locals() else 0.0
    proc.send_signal(signal.SIGTERM)
    try:
        code = proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        code = proc.wait()
    events.wait_end(5)
    line.hang_up()
    errlog.close()

    # ---- the checks
    finished = events.of("finished")
    fig.update(wall=wall, sent_bytes=sent_bytes, hangups=hangups, exit=code, finished=len(finished))
    if len(finished) != sets:
        failures.append("%d data sets sent, %d finished" % (sets, len(finished)))
    wrong, latencies, paths = 0, [], []
    for i, (t, ev) in enumerate(finished):
        n = i + 1
        path = ev.get("path")
        paths.append(path)
        problem = None
        if ev["dataSet"] != n:
            problem = "finished #%d says dataSet %s" % (n, ev["dataSet"])
        elif ev["outcome"] != "complete":
            problem = "data set %d: %s (%s)" % (n, ev["outcome"], ev.get("message", ""))
        elif n > len(expected):
            problem = "data set %d was never sent" % n
        elif not path or not os.path.isfile(path):
            problem = "data set %d: no file %r" % (n, path)
        else:
            with open(path, "rb") as f:
                data = f.read()
            if data != expected[i]:
                problem = "data set %d: %s holds %d bytes, %d were sent, first difference at %d" % (
                    n, path, len(data), len(expected[i]),
                    next((k for k, (a, b) in enumerate(zip(data, expected[i])) if a != b),
                         min(len(data), len(expected[i]))))
        if problem:
            wrong += 1
            if wrong <= 5:
                failures.append(problem)
        if n in last_byte:
            latencies.append(t - last_byte[n])
    if wrong > 5:
        failures.append("... %d data sets wrong in all" % wrong)
    names = sorted(os.listdir(out))
    want = sorted(os.path.basename(p) for p in paths if p)
    extra = sorted(set(names) - set(want))
    if extra:
        failures.append("%d files not reported as a data set's: %s" % (len(extra), ", ".join(extra[:5])))
    if len(set(want)) != len(want):
        failures.append("two data sets reported the same path")
    parts = [x for x in names if x.endswith(".part")]
    skipped = events.of("skipped")
    skipped_lines = sum(ev["lines"] for _, ev in skipped)
    skipped_bytes = sum(ev["bytes"] for _, ev in skipped)
    fig.update(files=len(names), parts=len(parts), noise_lines=noise_lines, noise_bytes=noise_bytes,
               skipped_lines=skipped_lines, skipped_bytes=skipped_bytes,
               port_failed=len(events.of("portFailed")), listening=len(events.of("listening")))
    if (skipped_lines, skipped_bytes) != (noise_lines, noise_bytes):
        failures.append("noise sent: %d lines, %d bytes; skipped: %d lines, %d bytes"
                        % (noise_lines, noise_bytes, skipped_lines, skipped_bytes))
    if fig["port_failed"] != hangups or fig["listening"] != hangups + 1:
        failures.append("%d hang-ups, %d portFailed, %d listening" % (hangups, fig["port_failed"], fig["listening"]))
    if code != 130:
        failures.append("exit status %d after SIGTERM, not 130" % code)
    if len(samples) == 3:
        flat_fd = samples["start"][1] == samples["middle"][1] == samples["end"][1]
        flat_rss = max(s[2] for s in samples.values()) - samples["start"][2] <= 256
        if not (flat_fd and flat_rss):
            failures.append("open files or memory grew: %r" % samples)
    else:
        failures.append("not every sample was taken")

    # ---- the fsync probe, on the same file system, sized as the mean data set
    probe_n = min(1000, max(100, sets // 10))
    mean_size = max(2, fig["record_bytes"] // max(1, sets))
    probe_dir = os.path.join(folder, "probe")
    os.mkdir(probe_dir)
    plain, synced = fsync_probe(probe_dir, probe_n, mean_size)

    # ---- the figures
    say("km740cap %s --continuous --json over a socat pty pair, flooded (not paced at 38400 bit/s), "
        "seed %d; machine: %d cores, shared with other work" % (os.path.join(build, "km740cap"), seed, os.cpu_count()))
    say("data sets %d (%d of them back to back in shared writes, %.0f%%), records %d, record bytes %d, "
        "bytes written to the line %d" % (sets, in_bursts, 100.0 * in_bursts / sets, fig["records"],
                                           fig["record_bytes"], sent_bytes))
    say("wall time %.1f s, %.2f data sets/s, %.0f line bytes/s" % (wall, sets / wall if wall else 0,
                                                                    sent_bytes / wall if wall else 0))
    say("finished %d, files %d, .part %d, noise %d lines / %d bytes, skipped %d lines / %d bytes"
        % (len(finished), len(names), len(parts), noise_lines, noise_bytes, skipped_lines, skipped_bytes))
    say("hang-ups %d (portFailed %d, listening %d), back listening %.1f-%.1f s after each; exit %d after SIGTERM"
        % (hangups, fig["port_failed"], fig["listening"], min(hangup_seconds or [0]), max(hangup_seconds or [0]),
           code))
    for mark in ("start", "middle", "end"):
        if mark in samples:
            n, fds, rss = samples[mark]
            say("%-6s after data set %5d: open fds %d, VmRSS %d kB" % (mark, n, fds, rss))
    if latencies:
        fig.update(lat_median=statistics.median(latencies), lat_p99=percentile(latencies, 99),
                   lat_max=max(latencies))
        say("last byte written -> its finished event read: median %.1f ms, p99 %.1f ms, max %.1f ms "
            "(%d data sets; includes the wait for the 100 ms poll, fsync, rename and the pipe)"
            % (1000 * fig["lat_median"], 1000 * fig["lat_p99"], 1000 * fig["lat_max"], len(latencies)))
    fig.update(probe_files=probe_n, probe_size=mean_size,
               plain_median=statistics.median(plain), plain_p99=percentile(plain, 99),
               sync_median=statistics.median(synced), sync_p99=percentile(synced, 99))
    say("fsync probe, %d files of %d bytes each in %s (same file system), create+write+close+rename: "
        "without fsync median %.3f ms p99 %.3f ms; with fsync median %.3f ms p99 %.3f ms; "
        "the sync costs %.3f ms per data set (median difference)"
        % (probe_n, mean_size, tmp or tempfile.gettempdir(), 1000 * fig["plain_median"], 1000 * fig["plain_p99"],
           1000 * fig["sync_median"], 1000 * fig["sync_p99"], 1000 * (fig["sync_median"] - fig["plain_median"])))
    for failure in failures:
        say("FAILED: " + failure)
    if failures:
        with open(os.path.join(folder, "stderr.txt"), "rb") as f:
            tail = f.read()[-2000:].decode("utf-8", "replace")
        say("km740cap's stderr ends:\n" + tail)
        say("kept for a look: " + folder)
    else:
        shutil.rmtree(folder, ignore_errors=True)
    return not failures, fig


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sets", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=740)
    parser.add_argument("--hangup-every", type=int, default=1000)
    parser.add_argument("--build", default=os.path.join(REPO, "build", "host"))
    parser.add_argument("--tmp", default=None, help="folder for the pty links and the files (default: $TMPDIR)")
    args = parser.parse_args()
    ok, _ = soak(os.path.abspath(args.build), args.sets, args.seed, args.hangup_every, args.tmp)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
