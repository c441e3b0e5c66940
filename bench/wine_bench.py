"""The real km740tool.exe under Wine, measured: throughput and backlog against the line rate,
latency to the file and to "Complete.", CPU while waiting, start-up and memory against a
minimal dialog. Writes its figures as JSON; bench/report.py turns them into the table.
Run by bench/run.sh, which builds what this needs."""

import argparse
import fcntl
import json
import os
import select
import shutil
import statistics
import struct
import subprocess
import sys
import termios
import threading
import time
import tty

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import winebed  # noqa: E402
from devsim_records import gen as record  # noqa: E402

PORT_CAP = 3072             # what the line keeps queued at the program's port, see Line
CHUNK = 256                 # most bytes handed to the port in one write
TICK_GAP_S = 0.040          # a pause this long in the file's growth separates two ticks


def say(text):
    print("bench: " + text, flush=True)


def inq(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0]


class Line:
    """Stands in for the serial line between devsim and the program: two pty pairs with a
    relay between them. The relay takes every byte devsim writes as soon as it is written
    (so devsim runs at its own pace, as a device on a wire does) and hands it to the
    program's port while the port holds less than PORT_CAP bytes - more than one read of the
    program can take, and below the point where the tty would send XOFF by itself. So:
    sent = bytes taken from devsim, taken = bytes handed to the port minus what the port
    still queues (FIONREAD on our own descriptor of the program's pty), backlog = sent -
    taken, exact to within one CHUNK in flight. Bytes the program's side sends back
    (XON/XOFF) are passed to devsim and counted. The same loop samples the output file's
    size, which grows record by record (the program flushes each one)."""

    def __init__(self, bed, number=1):
        self.dev_m, self.dev_s = os.openpty()
        self.app_m, self.app_s = os.openpty()
        for fd in (self.dev_s, self.app_s):
            tty.setraw(fd)
        for fd in (self.dev_m, self.app_m):
            os.set_blocking(fd, False)
        self.dev_path = os.ttyname(self.dev_s)
        self.link = os.path.join(bed.prefix, "dosdevices", "com%d" % number)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(os.ttyname(self.app_s), self.link)
        self.lock = threading.Lock()
        self.stop_flag = False
        self.reset()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def reset(self, watch=None):
        with self.lock:
            self.stream = bytearray()
            self.written = 0
            self.arrivals = []      # (time, bytes sent so far) per read from devsim
            self.handoffs = []      # (time, bytes handed to the port so far)
            self.sizes = []         # (time, file size) whenever the size changed
            self.max_backlog = 0
            self.max_backlog_t = 0.0
            self.flow = {0x11: 0, 0x13: 0, "other": 0}
            self.watch = watch
            self.last_size = -1

    def _run(self):
        while not self.stop_flag:
            pending = len(self.stream) > self.written
            r, _, _ = select.select([self.dev_m, self.app_m], [], [], 0.001 if pending else 0.002)
            now = time.time()
            with self.lock:
                if self.dev_m in r:
                    try:
                        data = os.read(self.dev_m, 65536)
                    except (BlockingIOError, OSError):
                        data = b""
                    if data:
                        self.stream += data
                        self.arrivals.append((now, len(self.stream)))
                if self.app_m in r:
                    try:
                        back = os.read(self.app_m, 4096)
                    except (BlockingIOError, OSError):
                        back = b""
                    for b in back:
                        key = b if b in (0x11, 0x13) else "other"
                        self.flow[key] += 1
                    if back:
                        try:
                            os.write(self.dev_m, back)
                        except OSError:
                            pass
                queued = inq(self.app_s)
                if len(self.stream) > self.written and queued < PORT_CAP:
                    n = min(PORT_CAP - queued, CHUNK, len(self.stream) - self.written)
                    try:
                        n = os.write(self.app_m, bytes(self.stream[self.written:self.written + n]))
                    except (BlockingIOError, OSError):
                        n = 0
                    if n:
                        self.written += n
                        self.handoffs.append((now, self.written))
                        queued = inq(self.app_s)
                backlog = len(self.stream) - (self.written - queued)
                if backlog > self.max_backlog:
                    self.max_backlog = backlog
                    self.max_backlog_t = now
                if self.watch:
                    try:
                        size = os.stat(self.watch).st_size
                    except OSError:
                        size = -1
                    if size != self.last_size:
                        self.sizes.append((now, size))
                        self.last_size = size

    def close(self):
        self.stop_flag = True
        self.thread.join(timeout=2)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        for fd in (self.dev_m, self.dev_s, self.app_m, self.app_s):
            os.close(fd)


def first_time_at(series, amount):
    """Time of the first (time, cumulative) entry reaching amount; series ascends."""
    lo, hi = 0, len(series)
    while lo < hi:
        mid = (lo + hi) // 2
        if series[mid][1] >= amount:
            hi = mid
        else:
            lo = mid + 1
    return series[lo][0] if lo < len(series) else None


def pct(values, p):
    if not values:
        return None
    s = sorted(values)
    return s[min(len(s) - 1, int(round(p / 100.0 * (len(s) - 1))))]


def ticks_of(sizes):
    """Cuts the file's growth into the program's ticks: records written in one tick come
    about 1 ms apart (the pause after each), ticks are 100 ms and more apart."""
    bursts = []
    prev_size = 0
    for t, size in sizes:
        if size < 0:
            continue
        if size == 0:
            prev_size = 0
            continue
        if bursts and t - bursts[-1]["end"] <= TICK_GAP_S:
            bursts[-1]["end"] = t
            bursts[-1]["bytes"] += size - prev_size
        else:
            bursts.append({"start": t, "end": t, "bytes": size - prev_size})
        prev_size = size
    return bursts


class Bench:
    def __init__(self, args):
        self.args = args
        self.win = args.win_build
        self.exe = os.path.join(self.win, "km740tool.exe")
        self.bed = winebed.Bed(uidriver=os.path.join(self.win, "uidriver.exe"),
                               portcheck=os.path.join(self.win, "portcheck.exe"))
        self.results = {"throughput": [], "startup": {}, "cpu": {}, "size": {}}

    # ---- set-up ----

    def install(self, exe, name):
        folder = os.path.join(self.bed.drive_c(), name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        target = os.path.join(folder, os.path.basename(exe))
        shutil.copyfile(exe, target)
        return folder, target

    def start_tool(self):
        folder, target = self.tool
        with open(os.path.join(folder, "config.csv"), "wb") as f:
            f.write(b"PORT,1\r\nBAUDRATE,38400\r\nSTORE,1\r\n")
        p = self.bed.start_exe(self.bed.windows_path(target), cwd=folder)
        self.bed.ui_ok("wait-window", 20000)
        return p

    def stop_tool(self, p):
        self.bed.ui_ok("close")
        p.wait(timeout=30)

    def find_pid(self, exe_name):
        """The Wine process running exe_name in our prefix (its cmdline names the .exe)."""
        mark = ("WINEPREFIX=" + self.bed.prefix).encode()
        for d in os.listdir("/proc"):
            if not d.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % d, "rb") as f:
                    cmd = f.read()
                if exe_name.encode().lower() not in cmd.lower():
                    continue
                if b"uidriver" in cmd.lower():
                    continue
                with open("/proc/%s/environ" % d, "rb") as f:
                    if mark not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/stat" % d) as f:
                    if f.read().split(") ")[1].split()[0] == "Z":
                        continue
                return int(d)
            except OSError:
                continue
        return None

    @staticmethod
    def cpu_s(pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(") ", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    @staticmethod
    def status_field(pid, key):
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return None

    def read_status(self):
        _, _, _, folder_bottom = map(int, self.bed.ui_ok("rect", "store").split())
        ox, oy = self.bed.client_origin()
        client_w = int(self.bed.ui_ok("client").split()[2])
        return self.bed.read_text(ox + 8, oy + folder_bottom + 30, client_w // 2, 24)

    # ---- throughput, backlog, latency ----

    def download(self, line, length, size, flood):
        count = max(1, size // (length + 2))
        desktop, _ = self.bed.folders()
        before = set(os.listdir(desktop))
        line.reset()
        self.bed.ui_ok("click", "start")
        self.bed.ui_ok("wait-caption", "start", "Cancel", 5000)
        deadline = time.monotonic() + 10
        new = []
        while not new and time.monotonic() < deadline:
            new = sorted(set(os.listdir(desktop)) - before)
            time.sleep(0.01)
        if not new:
            raise RuntimeError("no output file appeared")
        path = os.path.join(desktop, new[0])
        # The port opens and is purged in the same step that created the file.
        time.sleep(0.3)
        line.reset(watch=path)

        caption = {}
        watcher = self.probe("wait-caption", "start", "Start", "1800000")

        def wait_watcher():
            watcher.wait()  # no timeout: a blocking waitpid, not 50 ms polling
            caption["t"] = time.time()
        wt = threading.Thread(target=wait_watcher, daemon=True)
        wt.start()
        time.sleep(0.5)  # the watcher is polling before the first byte goes out

        stamp = os.path.join(self.bed.root, "etx-stamp")
        if os.path.exists(stamp):
            os.unlink(stamp)
        cmd = [self.args.devsim, "--count", str(count), "--length", str(length), "--baud", "38400",
               "--stamp-file", stamp, "--quiet", "--hold-ms", "100", line.dev_path]
        if flood:
            cmd[1:1] = ["--flood", "--ignore-xoff"]
        own0, wall0 = time.process_time(), time.monotonic()
        sent = subprocess.run(cmd, stdout=subprocess.PIPE, check=True,
                              timeout=3600).stdout.decode().split()
        sent_bytes = int(sent[2].split("=")[1])
        wt.join(timeout=3600)
        time.sleep(0.1)
        own = (time.process_time() - own0) / (time.monotonic() - wall0)
        with line.lock:
            arrivals = list(line.arrivals)
            handoffs = list(line.handoffs)
            sizes = list(line.sizes)
            max_backlog, max_backlog_t = line.max_backlog, line.max_backlog_t
            flow = dict(line.flow)
            relay_sent = len(line.stream)
            line.watch = None
        with open(stamp) as f:
            etx_t = float(f.read())
        status = self.read_status()
        with open(path, "rb") as f:
            content = f.read()
        os.unlink(path)

        expected = [record(i, length) for i in range(1, count + 1)]
        got = content.split(b"\r\n")
        tail_ok = content.endswith(b"\r\n") or not content
        got = got[:-1] if tail_ok else got
        intact = 0
        for a, b in zip(got, expected):
            if a != b:
                break
            intact += 1
        expected_bytes = count * (length + 2)

        # Per record: when its last byte left devsim (reached the relay) and when the file
        # first held it.
        stx = 3
        lat = []
        t_first = arrivals[0][0]
        for k in range(1, count + 1, max(1, count // 2000)):
            end = k * (length + 2)
            t_in = first_time_at(arrivals, stx + end)
            t_file = first_time_at(sizes, end)
            if t_in is not None and t_file is not None:
                lat.append(t_file - t_in)
        final_t = first_time_at(sizes, len(content)) if content else None
        t_last_in = arrivals[-1][0]
        etx_handoff = first_time_at(handoffs, relay_sent)
        duration = (final_t - t_first) if final_t else None
        bursts = ticks_of(sizes)
        # Whole ticks only: the first and last may be partial.
        inner = bursts[1:-1] if len(bursts) > 2 else bursts
        periods = [b2["start"] - b1["start"] for b1, b2 in zip(inner, inner[1:])]
        per_record_ms = [1000.0 * (b["end"] - b["start"]) / (b["bytes"] / (length + 2))
                         for b in inner if b["bytes"] > (length + 2)]
        res = {
            "mode": "flood" if flood else "paced",
            "length": length, "records": count, "sent_bytes": sent_bytes,
            "relay_bytes": relay_sent,
            "file_bytes": len(content), "expected_bytes": expected_bytes,
            "records_intact": intact, "same": content == b"".join(r + b"\r\n" for r in expected),
            "status": status,
            "duration_s": duration,
            "offered_Bps": (relay_sent / (t_last_in - t_first)) if t_last_in > t_first else None,
            "achieved_Bps": (len(content) / duration) if duration else None,
            "records_per_s": (intact / duration) if duration else None,
            "max_backlog": max_backlog, "max_backlog_at_s": max_backlog_t - t_first,
            "flow_bytes": flow,
            "record_latency_ms": {"median": 1000 * statistics.median(lat) if lat else None,
                                  "p95": 1000 * pct(lat, 95) if lat else None,
                                  "max": 1000 * max(lat) if lat else None, "n": len(lat)},
            "etx_to_start_ms": 1000 * (caption["t"] - etx_t) if "t" in caption else None,
            "etx_port_to_start_ms": 1000 * (caption["t"] - etx_handoff)
            if "t" in caption and etx_handoff else None,
            "ticks": len(bursts),
            "tick_bytes_median": statistics.median([b["bytes"] for b in inner]) if inner else None,
            "tick_bytes_max": max([b["bytes"] for b in inner]) if inner else None,
            "tick_period_ms_median": 1000 * statistics.median(periods) if periods else None,
            "tick_step_ms_median": 1000 * statistics.median([b["end"] - b["start"] for b in inner])
            if inner else None,
            "per_record_ms_median": statistics.median(per_record_ms) if per_record_ms else None,
            "file_samples": len(sizes),
            "bench_cpu_share": own,
        }
        say("%s L=%d: %d records, file %d/%d bytes, intact %d, %.0f B/s (offered %.0f), "
            "backlog max %d, status %r" % (res["mode"], length, count, len(content), expected_bytes,
                                           intact, res["achieved_Bps"] or 0, res["offered_Bps"] or 0,
                                           max_backlog, status))
        return res

    # ---- CPU while waiting ----

    def cpu_window(self, pid, seconds):
        server = self.bed._server.pid
        a0, s0, t0 = self.cpu_s(pid), self.cpu_s(server), time.monotonic()
        time.sleep(seconds)
        a1, s1, t1 = self.cpu_s(pid), self.cpu_s(server), time.monotonic()
        return {"window_s": t1 - t0, "program_cpu_s": a1 - a0, "wineserver_cpu_s": s1 - s0}

    def cpu(self, p):
        pid = self.find_pid("km740tool.exe")
        idle = self.cpu_window(pid, self.args.cpu_seconds)
        say("idle %.1f s: program %.3f CPU s, wineserver %.3f CPU s" % (
            idle["window_s"], idle["program_cpu_s"], idle["wineserver_cpu_s"]))
        self.bed.ui_ok("click", "start")
        self.bed.ui_ok("wait-caption", "start", "Cancel", 5000)
        time.sleep(0.5)
        # The program gives up after 30 s of silence; the window stays inside that.
        waiting = self.cpu_window(pid, min(self.args.cpu_seconds, 29.0))
        say("waiting %.1f s: program %.3f CPU s, wineserver %.3f CPU s" % (
            waiting["window_s"], waiting["program_cpu_s"], waiting["wineserver_cpu_s"]))
        self.bed.ui_ok("wait-caption", "start", "Start", 40000, timeout=60)
        self.results["cpu"] = {"idle": idle, "waiting": waiting}

    # ---- start-up and memory ----

    def wait_exact(self, p, limit):
        """Waits for a program from start_exe and returns the time.monotonic() of its end.
        Popen.wait with a timeout polls in sleeps of up to 50 ms, which would round the
        figures to 50 ms; a plain wait blocks in waitpid, and a timer guards against a hang."""
        guard = threading.Timer(limit, p.kill)
        guard.start()
        try:
            rc = p.wait()
        finally:
            guard.cancel()
        return time.monotonic(), rc

    def probe(self, *args):
        return self.bed.start_exe(
            self.bed.windows_path(os.path.join(self.win, "uidriver.exe")), *args)

    def startup_once(self, target, folder):
        # The probe is started first and given time to come up, so its own start (about as
        # long as the program's) is not in the figure; what remains is its 20 ms polling and
        # its exit.
        probe = self.probe("wait-window", "30000")
        time.sleep(1.0)
        if probe.poll() is not None:
            raise RuntimeError("a window was up before the launch")
        t0 = time.monotonic()
        p = self.bed.start_exe(self.bed.windows_path(target), cwd=folder)
        t1, rc = self.wait_exact(probe, 60)
        if rc != 0:
            raise RuntimeError("no window within 30 s")
        time.sleep(1.0)
        # The probe's own cost, for scale: a whole wait-window run once the window is there.
        t2 = time.monotonic()
        t3, _ = self.wait_exact(self.probe("wait-window", "30000"), 60)
        floor = t3 - t2
        pid = self.find_pid(os.path.basename(target))
        hwm = self.status_field(pid, "VmHWM") if pid else None
        rss = self.status_field(pid, "VmRSS") if pid else None
        # CPU seconds the process has used once it is up and idle: its start-up work, and
        # unlike the wall time hardly touched by the load of the machine.
        cpu = self.cpu_s(pid) if pid else None
        self.bed.ui_ok("close")
        p.wait(timeout=30)
        return t1 - t0, floor, hwm, rss, cpu

    def startup(self):
        runs = {"tool": [], "minimal": []}
        minimal = self.install(self.args.minimal, "MINIMAL")
        for i in range(self.args.starts):
            for name, (folder, target) in (("tool", self.tool), ("minimal", minimal)):
                if name == "tool":
                    with open(os.path.join(folder, "config.csv"), "wb") as f:
                        f.write(b"PORT,1\r\nBAUDRATE,38400\r\nSTORE,1\r\n")
                runs[name].append(self.startup_once(target, folder))
        for name, rs in runs.items():
            t = [r[0] for r in rs]
            fl = [r[1] for r in rs]
            self.results["startup"][name] = {
                "start_s": t, "probe_floor_s": fl,
                "vmhwm_kb": [r[2] for r in rs], "vmrss_kb": [r[3] for r in rs],
                "cpu_s": [r[4] for r in rs]}
            say("%s: start %s s (probe alone %s s), VmHWM %s kB" % (
                name, " ".join("%.3f" % x for x in t), " ".join("%.3f" % x for x in fl),
                " ".join(str(r[2]) for r in rs)))

    # ---- what one record costs ----

    def record_cost(self):
        path = self.bed.windows_path(os.path.join(self.bed.drive_c(), "record_cost.txt"))
        runs = []
        for _ in range(5):
            # COM1 is the line's port, not yet held by the program.
            r = self.bed.run(self.args.record_cost, path, "500", "\\\\.\\COM1", timeout=120)
            if r.returncode != 0:
                raise RuntimeError("record_cost failed: " + r.stdout + r.stderr)
            runs.append({k: float(v) for k, v in (kv.split("=") for kv in r.stdout.split())})
        self.results["record_cost"] = runs
        say("per record, us: " + "; ".join(
            "write+flush %.0f, repaint %.0f, Sleep(1) %.0f, ClearCommError %.0f" % (
                r["write_flush_us"], r["repaint_us"], r["sleep1_us"],
                r.get("clearcommerror_us", -1)) for r in runs))

    # ---- the run ----

    def run(self):
        a = self.args
        self.bed.start()
        line = None
        try:
            line = Line(self.bed)
            self.tool = self.install(self.exe, "KM740")
            shutil.copyfile(os.path.join(REPO, "examples", "message.csv"),
                            os.path.join(self.tool[0], "message.csv"))
            if "startup" in a.only:
                self.startup()
            if "cost" in a.only:
                self.record_cost()
            if "throughput" in a.only or "cpu" in a.only:
                p = self.start_tool()
                if "throughput" in a.only:
                    for flood, size in ((False, a.paced_bytes), (True, a.flood_bytes)):
                        for length in a.lengths:
                            self.results["throughput"].append(
                                self.download(line, length, size, flood))
                if "cpu" in a.only:
                    self.cpu(p)
                self.stop_tool(p)
        finally:
            if line:
                line.close()
            self.bed.stop()
        return self.results


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--win-build", default=os.path.join(REPO, "build", "windows"))
    parser.add_argument("--devsim", default=os.path.join(REPO, "build", "host", "devsim"))
    parser.add_argument("--minimal", default=os.path.join(REPO, "build", "bench", "minimal_dialog.exe"))
    parser.add_argument("--paced-bytes", type=int, default=100 * 1024)
    parser.add_argument("--flood-bytes", type=int, default=256 * 1024)
    parser.add_argument("--lengths", type=lambda s: [int(x) for x in s.split(",")],
                        default=[2, 10, 40, 200])
    parser.add_argument("--starts", type=int, default=7)
    parser.add_argument("--cpu-seconds", type=float, default=30.0)
    parser.add_argument("--record-cost", default=os.path.join(REPO, "build", "bench", "record_cost.exe"))
    parser.add_argument("--only", default="throughput,cpu,startup,cost")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    args.only = args.only.split(",")
    results = Bench(args).run()
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
    say("figures written to " + args.out)


if __name__ == "__main__":
    main()
