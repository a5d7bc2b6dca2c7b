#!/usr/bin/env python3
"""What a collection costs beside reading its runs: on a tree of run folders,
pdsplit.read of every run on 1 and 2 threads, and pdsplit.collect with
workers=1 and 2, each in a fresh process (imports and a warm-up collection
of the tree's first folder done before the clock starts), taking turns;
prints the medians of wall time, CPU time (all threads) and peak resident
memory (the process and its children), and the ratios.

    bench/collect_costs.py TREE [--runs 5] [--module DIR]

--module: the folder that holds the pdsplit package (default: as imported).
"""
import argparse
import os
import statistics
import subprocess
import sys

CHILD = r'''
import glob, os, resource, shutil, sys, tempfile, time
from concurrent.futures import ThreadPoolExecutor
import pdsplit
tree, what = sys.argv[1], sys.argv[2]
folder = tempfile.mkdtemp()
out = os.path.join(folder, "dos.nc")
if what.startswith("read"):
    runs = sorted({os.path.dirname(p) for p in glob.glob(tree + "/**/DOSCAR*", recursive=True)})
    def read(run):
        try:
            pdsplit.read(run)
        except Exception:
            pass
    read(runs[0])
    wall, cpu = time.perf_counter(), time.process_time()
    with ThreadPoolExecutor(int(what[4:])) as pool:
        list(pool.map(read, runs))
else:
    pdsplit.collect(os.path.join(tree, sorted(os.listdir(tree))[0]), out)
    shutil.rmtree(folder)
    os.mkdir(folder)
    wall, cpu = time.perf_counter(), time.process_time()
    pdsplit.collect(tree, out, workers=int(what[7:]))
wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
size = os.path.getsize(out) if os.path.exists(out) else 0
peak = max(resource.getrusage(w).ru_maxrss for w in (resource.RUSAGE_SELF,
                                                    resource.RUSAGE_CHILDREN))
shutil.rmtree(folder)
print(wall, cpu, peak / 1024, size)
'''
KINDS = ["read1", "read2", "collect1", "collect2"]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("tree")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--module")
    args = p.parse_args()
    env = dict(os.environ)
    if args.module:
        env["PYTHONPATH"] = os.path.abspath(args.module)
    results = {k: [] for k in KINDS}
    for _ in range(args.runs):
        for kind in KINDS:
            done = subprocess.run([sys.executable, "-c", CHILD, os.path.abspath(args.tree), kind],
                                  env=env, capture_output=True, text=True, check=True)
            results[kind].append([float(x) for x in done.stdout.split()])
    median = {k: [statistics.median(r[i] for r in v) for i in range(4)]
              for k, v in results.items()}
    print(f"{'':10} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9} {'file MB':>8}")
    for kind, (wall, cpu, peak, size) in median.items():
        print(f"{kind:10} {wall:8.3f} {cpu:8.3f} {peak:9.1f} {size / 1e6:8.2f}")
    print(f"collect2 / read2: wall {median['collect2'][0] / median['read2'][0]:.2f}, "
          f"cpu {median['collect2'][1] / median['read2'][1]:.2f}; "
          f"collect1 / collect2: wall {median['collect1'][0] / median['collect2'][0]:.2f}")


if __name__ == "__main__":
    main()
