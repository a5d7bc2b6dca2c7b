#!/usr/bin/env python3
"""Costs of pdsplit.read per file: whole process, the read call, page faults.

    /usr/bin/python3 bench/read_costs.py [--runs 7] [--calls 1] \\
        --module BUILD/python [--module OTHER/python ...] FILE [FILE ...]

Each --module is a folder that holds the built package pdsplit (a build
tree's python/ folder), so that two builds (an older commit built
elsewhere) are measured side by side on the same files. For each module and
file a fresh interpreter imports numpy and pdsplit and reads the file
`--calls` times in a row, the file in the page cache (read through once
before); this is repeated --runs times, the modules taking turns.
The table gives the medians of: the whole process's wall time and CPU time
(user + system, as getrusage of the children counts them), the time of one
read call (perf_counter around it), the minor page faults of one read
call and its CPU time (getrusage of the process around it), and the input
bytes per second of one read call (the best of --calls).
"""
import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

CHILD = """
import json, resource, sys, time
import numpy, pdsplit
path, calls = sys.argv[1], int(sys.argv[2])
times, faults, cpus = [], [], []
for _ in range(calls):
    r0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    d = pdsplit.read(path)
    t1 = time.perf_counter()
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    faults.append(r1.ru_minflt - r0.ru_minflt)
    cpus.append(r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime)
    times.append(t1 - t0)
    del d
print(json.dumps({"read": min(times), "faults": min(faults), "cpu": min(cpus)}))
"""


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def one_process(module, path, calls):
    warm(path)
    env = dict(os.environ, PYTHONPATH=str(module))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), str(calls)], env=env,
                         check=True, capture_output=True, text=True).stdout
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    result = json.loads(out)
    return wall, cpu, result["read"], result["cpu"], result["faults"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--calls", type=int, default=1)
    parser.add_argument("--module", type=Path, action="append", required=True)
    parser.add_argument("files", type=Path, nargs="+")
    args = parser.parse_args()
    print(f"{'module':<28} {'file':<34} {'wall s':>8} {'cpu s':>8} {'read s':>9} "
          f"{'read cpu':>9} {'faults':>8} {'MB/s':>7}")
    for path in args.files:
        size = path.stat().st_size
        # The modules take turns, so that a load that comes and goes falls
        # on each of them alike.
        rows = {m: [] for m in args.module}
        for _ in range(args.runs):
            for module in args.module:
                rows[module].append(one_process(module, path, args.calls))
        for module in args.module:
            wall, cpu, read, read_cpu, faults = (statistics.median(c)
                                                 for c in zip(*rows[module]))
            print(f"{str(module)[-28:]:<28} {str(path)[-34:]:<34} {wall:8.3f} {cpu:8.3f} "
                  f"{read:9.5f} {read_cpu:9.5f} {faults:8.0f} {size / read / 1e6:7.0f}",
                  flush=True)


if __name__ == "__main__":
    main()
