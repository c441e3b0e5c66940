"""Turns the bench's JSON figures into the table: printed, and written to bench/results.md.
Every figure is shown beside its reference and the ratio of the two."""

import argparse
import json
import os
import statistics

LINE_RATE = 3840        # bytes/s at 38400 baud, 8N1
DRIVER_QUEUE = 1024     # the input queue the program asks the driver for
RX_BUFFER = 2048        # the program's receive buffer: the most one read can take
POLL_MS = 100
FINISH_MS = 250


def f(value, fmt="%.0f"):
    return "-" if value is None else fmt % value


def med_spread(values, fmt="%.3f"):
    values = [v for v in values if v is not None]
    if not values:
        return "-"
    return (fmt + " (" + fmt + "-" + fmt + ")") % (statistics.median(values), min(values), max(values))


def table(head, rows):
    out = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return out


def throughput(runs):
    rows = []
    for r in runs:
        offered = LINE_RATE if r["mode"] == "paced" else r["offered_Bps"]
        rows.append([
            "paced 38400" if r["mode"] == "paced" else "flood, XOFF ignored",
            r["length"], r["records"], r["sent_bytes"],
            "%d / %d" % (r["file_bytes"], r["expected_bytes"]),
            "%d / %d" % (r["records_intact"], r["records"]),
            f(r["records_per_s"]), f(r["achieved_Bps"]), f(offered),
            f(r["achieved_Bps"] / offered if r["achieved_Bps"] and offered else None, "%.3g"),
            f(r["achieved_Bps"] / LINE_RATE if r["achieved_Bps"] else None, "%.2f"),
            "%d (%.1f)" % (r["max_backlog"], r["max_backlog"] / DRIVER_QUEUE),
            r["status"]])
    return table(["mode", "record bytes", "records", "bytes sent", "file bytes / expected",
                  "records intact", "records/s", "achieved B/s", "offered B/s",
                  "achieved / offered", "achieved / line rate", "max backlog B (/ 1024 queue)",
                  "status read"], rows)


def ticks(runs):
    rows = []
    for r in runs:
        period = r["tick_period_ms_median"]
        rows.append([
            r["mode"], r["length"], r["ticks"], f(r["tick_bytes_median"]), f(r["tick_bytes_max"]),
            f(period), f(r["tick_step_ms_median"]), f(r["per_record_ms_median"], "%.2f"),
            f(RX_BUFFER / period * 1000 if period else None),
            f(period / POLL_MS if period else None, "%.2f")])
    return table(["mode", "record bytes", "ticks seen", "bytes/tick median", "bytes/tick max",
                  "tick period ms (ref 100)", "writing step ms", "ms per record",
                  "ceiling B/s if every tick read 2048", "period / 100 ms"], rows)


def latency(runs):
    rows = []
    ref = 2 * POLL_MS + FINISH_MS
    for r in runs:
        lat = r["record_latency_ms"]
        rows.append([
            r["mode"], r["length"], f(lat["median"]), f(lat["p95"]), f(lat["max"]),
            f(r["etx_to_start_ms"]), f(r["etx_port_to_start_ms"]),
            f(r["etx_port_to_start_ms"] / ref if r["etx_port_to_start_ms"] else None, "%.2f")])
    return table(["mode", "record bytes", "record -> file median ms", "p95 ms", "max ms",
                  "ETX leaves devsim -> caption Start ms", "ETX at the port -> caption Start ms",
                  "port -> Start / 450 ms (read tick + line tick + 250 ms finish)"], rows)


def cpu(c):
    rows = []
    idle = c["idle"]
    for name in ("idle", "waiting"):
        w = c[name]
        scale = 30.0 / w["window_s"]
        prog = w["program_cpu_s"] * scale
        rows.append([
            "window open, idle" if name == "idle" else "download started, no data",
            "%.1f" % w["window_s"], "%.3f" % prog, "%.2f%%" % (100 * w["program_cpu_s"] / w["window_s"]),
            "%.3f" % (w["wineserver_cpu_s"] * scale),
            f(prog / (idle["program_cpu_s"] * 30.0 / idle["window_s"])
              if idle["program_cpu_s"] > 0 else None, "%.1f")])
    return table(["state", "window s", "program CPU s per 30 s", "program % of a core",
                  "wineserver CPU s per 30 s", "program vs idle"], rows)


def startup(s, size):
    tool, ref = s["tool"], s["minimal"]
    t_tool = statistics.median(tool["start_s"])
    t_ref = statistics.median(ref["start_s"])
    hwm_tool = statistics.median(tool["vmhwm_kb"])
    hwm_ref = statistics.median(ref["vmhwm_kb"])
    rows = [
        ["launch -> visible window (wait-window), s, median (min-max) of %d" % len(tool["start_s"]),
         med_spread(tool["start_s"]), med_spread(ref["start_s"]), "%.2f" % (t_tool / t_ref)],
        ["the probe alone (wait-window on a window already up), s",
         med_spread(tool["probe_floor_s"]), med_spread(ref["probe_floor_s"]), "-"],
        ["CPU s of the process once up, median (min-max)", med_spread(tool["cpu_s"], "%.2f"),
         med_spread(ref["cpu_s"], "%.2f"),
         "%.2f" % (statistics.median(tool["cpu_s"]) / statistics.median(ref["cpu_s"]))
         if statistics.median(ref["cpu_s"]) else "-"],
        ["peak memory VmHWM, kB, median (min-max)", med_spread(tool["vmhwm_kb"], "%.0f"),
         med_spread(ref["vmhwm_kb"], "%.0f"), "%.2f" % (hwm_tool / hwm_ref)],
        [".exe bytes", size["tool"]["bytes"], size["minimal"]["bytes"],
         "%.2f" % (size["tool"]["bytes"] / size["minimal"]["bytes"])],
        [".exe bytes stripped", size["tool"]["stripped"], size["minimal"]["stripped"],
         "%.2f" % (size["tool"]["stripped"] / size["minimal"]["stripped"])],
        ["imported DLLs", ", ".join(size["tool"]["dlls"]), ", ".join(size["minimal"]["dlls"]),
         "%d / %d" % (len(size["tool"]["dlls"]), len(size["minimal"]["dlls"]))],
    ]
    return table(["figure", "km740tool.exe", "minimal dialog", "ratio"], rows)


def record_cost(costs, runs):
    write = [c["write_flush_us"] for c in costs]
    rows = [["write + flush of one line", med_spread(write, "%.0f")]]
    flood = [r for r in runs if r["mode"] == "flood" and r["per_record_ms_median"]]
    if flood:
        r = min(flood, key=lambda x: x["length"])
        rows.append(["measured in the program (flood, %d-byte records): ms per record x 1000, "
                     "the repaints' share included" % r["length"],
                     "%.0f" % (1000 * r["per_record_ms_median"])])
    rows.append(["not per record: invalidate + immediate repaint of a text (the latest record, "
                 "at most once per 16 ms frame and at the end of a poll)",
                 med_spread([c["repaint_us"] for c in costs], "%.0f")])
    rows.append(["not per record: Sleep(1) (the pause each record took before it was dropped)",
                 med_spread([c["sleep1_us"] for c in costs], "%.0f")])
    clear = [c["clearcommerror_us"] for c in costs if "clearcommerror_us" in c]
    if clear:
        rows.append(["not per record: ClearCommError on the COM port (once per poll)",
                     med_spread(clear, "%.0f")])
    return table(["per record, under Wine", "us, median (min-max) of %d runs of 500" % len(costs)],
                 rows)


def host(h):
    rows = []
    for r in h:
        rows.append([r["length"], r["records"], r["bytes"], r["total_ir"],
                     "%.1f" % r["ir_per_byte"], "%.1f" % r["framing_per_byte"],
                     "%.1f" % r["port_read_per_byte"], "%.1f" % r["file_write_per_byte"],
                     "%.1f" % r["rest_per_byte"], "%.0f" % r["ir_per_record"],
                     "%.2f" % (r["ir_per_byte"] * LINE_RATE / 1e6), r["same"]])
    return table(["record bytes", "records", "bytes", "Ir in timer steps", "Ir/byte",
                  "framing", "port read (sim)", "file write (libc)", "rest", "Ir/record",
                  "M Ir/s at line rate", "file same"], rows)


def bottleneck(runs):
    flood = {r["length"]: r for r in runs if r["mode"] == "flood"}
    paced = {r["length"]: r for r in runs if r["mode"] == "paced"}
    out = []
    shortest = min(flood) if flood else None
    longest = max(flood) if flood else None
    if shortest is not None:
        s = flood[shortest]
        out.append(
            "- Short records: flooding %d-byte records the program takes %.0f records/s = %.0f B/s, "
            "%.2f x the line rate. A tick takes a median %.0f bytes and lasts %.0f ms from one "
            "tick's start to the next; the writing step inside it takes %.0f ms, %.2f ms per record "
            "(write + flush, and a repaint of the latest record at most every 16 ms). Flooded, "
            "the port always holds "
            "more than one read takes, so the pace is one read of at most 2048 bytes per tick "
            "plus that per-record cost." % (
                shortest, s["records_per_s"] or 0, s["achieved_Bps"] or 0,
                (s["achieved_Bps"] or 0) / LINE_RATE, s["tick_bytes_median"] or 0,
                s["tick_period_ms_median"] or 0, s["tick_step_ms_median"] or 0,
                s["per_record_ms_median"] or 0))
        if shortest in paced:
            p = paced[shortest]
            out.append(
                "- Paced at 38400 baud the same records arrive at %.0f records/s; the program "
                "takes %.0f B/s (%.2f of the offered rate) and the backlog reaches %d bytes "
                "(%.2f x a 1024-byte driver queue): %s." % (
                    LINE_RATE / (shortest + 2), p["achieved_Bps"] or 0,
                    (p["achieved_Bps"] or 0) / LINE_RATE, p["max_backlog"],
                    p["max_backlog"] / DRIVER_QUEUE,
                    "without flow control a real line would lose data here"
                    if p["max_backlog"] > DRIVER_QUEUE else "a real line needs no flow control"))
    if longest is not None:
        s = flood[longest]
        out.append(
            "- Long records: flooding %d-byte records the program takes %.0f B/s = %.2f x the "
            "line rate: a median %.0f bytes per tick (the 2048-byte receive buffer less the "
            "partial line) every %.0f ms, so the ceiling is the one read per tick of at most 2048 "
            "bytes after a 100 ms wait." % (
                longest, s["achieved_Bps"] or 0, (s["achieved_Bps"] or 0) / LINE_RATE,
                s["tick_bytes_median"] or 0, s["tick_period_ms_median"] or 0))
    if shortest is not None and flood[shortest]["per_record_ms_median"]:
        c = flood[shortest]["per_record_ms_median"] / 1000.0
        # Paced, a tick's writing step grows with the records that came during the last
        # tick: period = 0.1 s / (1 - rate * c). The program keeps up while rate * c < 1, and
        # a line without flow control keeps its backlog (period * 3840 B) within 1024 B while
        # the period stays under 1024 / 3840 s.
        keep_up = LINE_RATE * c - 2
        within = LINE_RATE * c / (1 - (POLL_MS / 1000.0) / (DRIVER_QUEUE / float(LINE_RATE))) - 2

        def from_length(length):
            return ("every record length from 2 bytes" if length < 2
                    else "records of more than %.1f bytes" % length)
        out.append(
            "- With c = %.2f ms per record, a tick at the line rate lasts 100 ms / (1 - r c) for "
            "r = 3840 / (L + 2) records/s: the program keeps up with %s, and in steady state the "
            "bytes waiting at the port stay within a 1024-byte queue for %s. The first poll "
            "comes 250 ms after the begin step, so a device that sends from the start has 960 "
            "bytes and more waiting then." % (1000 * c, from_length(keep_up), from_length(within)))
    for length in sorted(paced):
        p = paced[length]
        out.append(
            "- Paced, %d-byte records: backlog max %d bytes, %s the 1024-byte queue." % (
                length, p["max_backlog"], "above" if p["max_backlog"] > DRIVER_QUEUE else "within"))
    return out


def slow_display(paths):
    """The model's runs with a slow repaint: the 2-byte row at 38400 bit/s per timing, and
    what the whole run says."""
    rows = []
    for path in paths:
        with open(path) as fh:
            text = fh.read().splitlines()
        command = text[0].split(": ", 1)[1]
        row = next(line for line in text if line.startswith("| 38400 | 2 |"))
        cells = [c.strip() for c in row.strip("|").split("|")]
        overruns = sum(line.count("| yes |") for line in text if line.startswith("| "))
        worst = next(line for line in text if line.startswith("worst"))
        out = ["`%s`" % command]
        for first in (3, 9):   # per timing: achieved, backlog, overrun, step, ETX, repaints
            achieved, backlog, overrun, step, _, repaints = cells[first:first + 6]
            out.append("%s, backlog %s, overrun %s, longest step %s ms, %s repaints for %s "
                       "records" % (achieved, backlog.split(" ")[0], overrun, step.split(" ")[0],
                                    repaints, cells[2]))
        out += [str(overruns), worst.split(": ", 1)[1]]
        rows.append(out)
    return table(["command", "Windows: 2-byte records at 38400 bit/s",
                  "Wine: 2-byte records at 38400 bit/s", "cases with an overrun (of 48)",
                  "worst achieved / offered"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--size", required=True)
    parser.add_argument("--machine", required=True)
    parser.add_argument("--model", help="the output of bench/model.sh")
    parser.add_argument("--slow-display", nargs="*", default=[],
                        help="bench/model.sh outputs with a slow repaint, each after a "
                             "'command: ' line")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.wine) as fh:
        wine = json.load(fh)
    with open(args.host) as fh:
        hostr = json.load(fh)
    with open(args.size) as fh:
        size = json.load(fh)
    with open(args.machine) as fh:
        machine = json.load(fh)

    runs = wine["throughput"]
    lines = ["# KM-740 TOOL: measured figures", "",
             "Generated by `%s`; do not edit by hand." % machine["command"], ""]
    lines += ["- %s: %s" % (k, v) for k, v in machine["facts"]]
    lines += ["", "## Throughput and loss", "",
              "The real program under Wine receives generated records from devsim over a virtual "
              "COM port at 38400 baud (3840 B/s offered when paced). A relay stands in for the "
              "line: it takes every byte devsim writes at once and keeps up to 3 KB queued at the "
              "program's port (more than one read takes, below the tty's own XOFF point), so "
              "devsim is never held back and the backlog - bytes sent, not yet taken by the "
              "program - is exact. File bytes are compared with the regenerated records, record "
              "by record. Rates run from the first byte sent to the file's last record. Flooded, "
              "devsim writes as fast as the relay reads, so the offered rate is megabytes per "
              "second and the line rate is the useful reference. Because the relay keeps the "
              "port below the tty's XOFF point, the program's own XOFF never comes into play: "
              "the backlog is what a line without flow control would have to hold.", ""]
    lines += throughput(runs)
    flow = sum(sum(r["flow_bytes"].values()) for r in runs)
    lines += ["", "Flow-control bytes the program's port sent back during all runs: %d." % flow,
              "The relay and samplers themselves used %s of one core during the downloads." %
              med_spread([100 * r.get("bench_cpu_share", 0) for r in runs], "%.0f%%")]
    lines += ["", "## Ticks, as seen in the file's growth", "",
              "The file is flushed per record, so sampling its size every 1-2 ms shows each "
              "tick's burst of records.", ""]
    lines += ticks(runs)
    lines += ["", "## Latency", "",
              "Record -> file: from the record's last byte leaving devsim to the file first "
              "holding it (file size polled every 1-2 ms). ETX -> caption: from devsim's "
              "--stamp-file (CLOCK_REALTIME of the ETX write) to `uidriver wait-caption start "
              "Start` returning; it polls every 20 ms and its exit adds a few ms, so these are "
              "upper bounds by up to about 30 ms.", ""]
    lines += latency(runs)
    lines += ["", "## CPU while waiting", "",
              "utime + stime from /proc/<pid>/stat of the Wine process running km740tool.exe "
              "and of the bed's wineserver, over the window shown, scaled to 30 s. The program "
              "gives up after 30 s of silence, so the waiting window stays under that. /proc "
              "counts in 10 ms clock ticks: 0.000 means less than 0.01 s in the window.", ""]
    lines += cpu(wine["cpu"])
    lines += ["", "## Start-up and size", "",
              "Both programs started the same way (wine, warm wineserver, same prefix) and timed "
              "from launch to `uidriver wait-window` returning; the probe is started 1 s before "
              "the launch, so the figure holds its 20 ms polling and its exit but not its start. "
              "'The probe alone' is a whole wait-window run on a window already up, for scale. "
              "The reference is bench/minimal_dialog.cpp: the same class, template "
              "mechanism, manifest and message loop, two buttons, nothing else. VmHWM after the "
              "window has been up 1 s.", ""]
    lines += startup(wine["startup"], size)
    if "record_cost" in wine:
        lines += ["", "## What one record costs", "",
                  "bench/record_cost.cpp does each per-record step alone, 500 times, under the "
                  "same Wine bed.", ""]
        lines += record_cost(wine["record_cost"], runs)
    lines += ["", "## Host: instructions per received byte", "",
              "host_download runs a whole download through the logic on the simulated platform "
              "(Release build); callgrind counts only the timer steps. framing = RxNextLine + "
              "RxFill less the port read; port read = CommRead with the sim's queue; file write = "
              "OutputFileWrite (libc fwrite + fflush, the write system call not counted); rest = "
              "state machine, status text, window calls of the sim.", ""]
    lines += host(hostr)
    lines += ["", "## First bottleneck", ""]
    lines += bottleneck(runs)
    if args.model:
        with open(args.model) as fh:
            model = fh.read().strip().splitlines()
        lines += ["", "## Timing model: Windows and Wine (host, virtual time)", "",
                  "Not a measurement: `bench/model.sh`, given this run's Wine record costs "
                  "(above).", ""]
        lines += model
    if args.slow_display:
        lines += ["", "## Timing model with a slow display", "",
                  "Not a measurement: the same model with every repaint charged 0.8 to 5 ms "
                  "under both timings (an old PC, a remote desktop), this run's other Wine "
                  "costs. The window paints the latest record at most once per 16 ms frame "
                  "and at the end of each poll, so the poll's pace does not follow the "
                  "repaint's cost; a command with --before models an earlier revision's "
                  "download control.", ""]
        lines += slow_display(args.slow_display)
    text = "\n".join(lines) + "\n"
    # The console program's figures come from bench/cap_bench.py, not from this run: kept.
    if os.path.exists(args.out):
        with open(args.out) as fh:
            old = fh.read()
        mark = old.find("\n## km740cap")
        if mark >= 0:
            text += old[mark:]
    with open(args.out, "w") as fh:
        fh.write(text)
    print(text)


if __name__ == "__main__":
    main()
