#!/usr/bin/python3
"""What km740cap keeps of a second data set sent soon after a first: two data sets of 20
records of 20 bytes at 9600 bit/s (paced as a device sends them), with a gap between them,
over a socat pty pair, natively. Prints one line per gap: the outcomes and records of what
the station reported, and whether the second data set's file holds its 20 records.

Usage: bench/station_gaps.py [--build build/host] [--gaps 0,100,300,600,1000] [--repeat N]
The --build folder must hold km740cap (any revision, for a before and after)."""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from devsim_records import crlf, gen, paced  # noqa: E402


def data_set(first, n=20, length=20):
    return b"\x02\r\n" + crlf([gen(i, length) for i in range(first, first + n)]) + b"\x03\r\n"


def one(cap, gap_ms):
    with tempfile.TemporaryDirectory() as folder:
        app, dev = os.path.join(folder, "app"), os.path.join(folder, "dev")
        socat = subprocess.Popen(["socat", "pty,raw,echo=0,link=" + app, "pty,raw,echo=0,link=" + dev],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while not (os.path.exists(app) and os.path.exists(dev)):
            time.sleep(0.01)
        out = open(os.path.join(folder, "events"), "wb")
        proc = subprocess.Popen([cap, "--port", app, "--baud", "9600", "--json", "--quiet", "--continuous",
                                 "--out", folder], stdout=out, stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        fd = os.open(dev, os.O_WRONLY | os.O_NOCTTY)
        if gap_ms == 0:
            paced(fd, data_set(1) + data_set(21), 9600)
        else:
            paced(fd, data_set(1), 9600)
            time.sleep(gap_ms / 1000.0)
            paced(fd, data_set(21), 9600)
        time.sleep(1.5)
        proc.terminate()
        proc.wait(timeout=10)
        os.close(fd)
        socat.kill()
        socat.wait()
        out.close()
        events = [json.loads(x) for x in open(os.path.join(folder, "events"), "rb").read().splitlines()
                  if x.startswith(b"{")]
        done = [e for e in events if e["event"] == "finished" and e.get("path")]
        kept = "lost"
        for e in done:
            if os.path.exists(e["path"]) and open(e["path"], "rb").read() == crlf([gen(i, 20) for i in range(21, 41)]):
                kept = "whole"
        return ", ".join("%s %d" % (e["outcome"], e["records"]) for e in done), kept


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(REPO, "build", "host"))
    ap.add_argument("--gaps", default="0,100,300,600,1000")
    ap.add_argument("--repeat", type=int, default=1)
    args = ap.parse_args()
    cap = os.path.join(os.path.abspath(args.build), "km740cap")
    print("station_gaps: %s, two data sets of 20 records at 9600 bit/s" % cap)
    for gap in [int(g) for g in args.gaps.split(",")]:
        for _ in range(args.repeat):
            reported, kept = one(cap, gap)
            print("gap %5d ms: reported [%s]; the second data set's file: %s" % (gap, reported, kept), flush=True)


if __name__ == "__main__":
    main()
