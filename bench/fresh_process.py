"""Runs a benchmark's case in a process of its own and summarises repeats:
the helpers of vasprun_bench.py and vasprun_collect.py."""
import os
import statistics
import subprocess
import tempfile
import time


def run(cmd, env=None, ok=(0,)):
    """Runs cmd to its end: (wall seconds, peak RSS in MiB, standard output).
    The peak is ru_maxrss of that process (and of the children it waited
    for), from wait4, so this process's own memory does not count."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(cmd, stdout=out, stderr=err, env=env)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if child.returncode not in ok:
            raise SystemExit(f"{' '.join(map(str, cmd[:4]))} ... exited with {child.returncode}:\n"
                             f"{err.read().decode(errors='replace')}")
        return wall, usage.ru_maxrss / 1024, out.read().decode()


def spread(values):
    """(median, min, max) of a list of numbers."""
    return statistics.median(values), min(values), max(values)


def row(label, values, width=44):
    """'label  median s  (min - max, N runs)'."""
    median, low, high = spread(values)
    return f"{label:{width}s} {median:8.3f} s  ({low:.3f} - {high:.3f}, {len(values)} runs)"
