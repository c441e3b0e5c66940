"""Instructions per received byte of the framing and download path on the simulated platform:
host_download under callgrind, counting only the timer steps (--toggle-collect), split by
callgrind_annotate's inclusive costs. Repeatable: the sim has a virtual clock, so the count
does not depend on the machine's load. Writes JSON for bench/report.py."""

import argparse
import json
import os
import re
import subprocess
import tempfile

LINE = re.compile(r"^\s*([\d,]+) \([^)]*\)\s+(.*)$")


def inclusive(out_file):
    """{function text: inclusive Ir} from callgrind_annotate."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out_file],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True,
                          universal_newlines=True).stdout
    costs = {}
    for line in text.splitlines():
        m = LINE.match(line)
        if m:
            costs[m.group(2)] = int(m.group(1).replace(",", ""))
    return costs


def cost_of(costs, name):
    """Inclusive cost of the function whose text holds ':name(' (0 when never called)."""
    total = 0
    for text, ir in costs.items():
        if (":" + name + "(") in text:
            total = max(total, ir)
    return total


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--bytes", type=int, default=100 * 1024)
    parser.add_argument("--lengths", type=lambda s: [int(x) for x in s.split(",")],
                        default=[2, 10, 40, 200])
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    results = []
    with tempfile.TemporaryDirectory(prefix="km740-host-bench-") as work:
        for length in args.lengths:
            count = max(1, args.bytes // (length + 2))
            cg = os.path.join(work, "cg.%d" % length)
            run = subprocess.run(
                ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + cg,
                 "--toggle-collect=*BenchTick*", args.program, str(count), str(length),
                 os.path.join(work, "files")],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
            if run.returncode != 0:
                raise SystemExit("host_download failed: " + run.stdout + run.stderr[-2000:])
            fields = dict(kv.split("=") for kv in run.stdout.split())
            fed = int(fields["bytes_fed"])
            costs = inclusive(cg)
            total = cost_of(costs, "DownloadOnTimer")
            read = cost_of(costs, "CommRead")
            framing = cost_of(costs, "RxNextLine") + cost_of(costs, "RxFill") - read
            write = cost_of(costs, "OutputFileWrite")
            results.append({
                "length": length, "records": count, "bytes": fed, "ticks": int(fields["ticks"]),
                "same": fields["same"], "total_ir": total,
                "ir_per_byte": total / fed, "framing_per_byte": framing / fed,
                "port_read_per_byte": read / fed, "file_write_per_byte": write / fed,
                "rest_per_byte": (total - framing - read - write) / fed,
                "ir_per_record": total / count,
            })
            print("host: L=%d %d records %d bytes: %.1f Ir/byte (framing %.1f, port read %.1f, "
                  "file write %.1f, rest %.1f), file same: %s" % (
                      length, count, fed, total / fed, framing / fed, read / fed, write / fed,
                      (total - framing - read - write) / fed, fields["same"]), flush=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
