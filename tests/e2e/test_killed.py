"""The real program ended abruptly at random points of a paced download, as the task
manager's End task does: TerminateProcess, here through Wine's taskkill /F. The program runs
none of its own code after that, so the file must hold what each record's flush handed to
the system: an unbroken run of whole records from the first, at most the last cut short.
KM_KILL_SEED repeats a run's kill points."""

import os
import random
import time

import pytest

from conftest import wait_for
from tooldrive import bench, config, gen, read  # noqa: F401

RUNS = 5
COUNT, LENGTH, BAUD = 100, 40, 9600      # 42 bytes a record at 960 bytes/s: 4.4 s in all
# A line the program never writes: an orderly exit would rewrite the file without it.
GIVEN_CONFIG = config(1, BAUD, 1) + b"NOTE,rewritten only by an orderly exit\r\n"
SEED = int(os.environ.get("KM_KILL_SEED", int(time.time())))


def whole_records(data):
    """(whole records in order from the first, bytes of a cut one after them); fails the
    test if the file holds anything else."""
    at = kept = 0
    while at < len(data):
        line = gen(kept + 1, LENGTH) + b"\r\n"
        if data[at:at + len(line)] != line:
            rest = data[at:]
            assert len(rest) < len(line) and line.startswith(rest), \
                "after %d whole records the file holds %r" % (kept, rest[:60])
            return kept, len(rest)
        at += len(line)
        kept += 1
    return kept, 0


@pytest.mark.parametrize("run", range(RUNS))
def test_killed_mid_download_leaves_whole_records(bench, run):
    after_s = random.Random(SEED * 100 + run).uniform(0.4, 4.0)
    bench.open(baud=BAUD, files={"config.csv": GIVEN_CONFIG})
    desktop = bench.bed.folders()[0]
    bench.start()
    path = bench.wait_file(desktop)
    sim = bench.sim("--count", COUNT, "--length", LENGTH, "--baud", BAUD)
    time.sleep(after_s)
    r = bench.bed.run("taskkill", "/F", "/IM", "km740tool.exe")
    assert r.returncode == 0, r.stdout + r.stderr
    assert wait_for(lambda: bench.proc.poll() is not None, timeout=10), "still running"
    sim.kill()

    kept, cut = whole_records(read(path))
    # Killed while the records arrived: some are in, not all.
    assert 0 < kept < COUNT
    # Nothing of the program's own ending ran: config.csv is as it was given.
    assert read(os.path.join(bench.folder, "config.csv")) == GIVEN_CONFIG
    print("kill run %d (seed %d): killed %.2f s into the data set, exit %s; %d whole records"
          " kept, %s" % (run, SEED, after_s, bench.proc.returncode, kept,
                         "a cut record of %d bytes" % cut if cut else "no cut record"))
