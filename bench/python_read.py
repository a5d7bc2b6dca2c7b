#!/usr/bin/env python3
"""Benchmark of pdsplit.read on the large synthetic DOSCAR of bench/run.

    bench/run                                   # generates build-bench/data/big/DOSCAR
    ~/.venvs/pdsplit/bin/python bench/python_read.py [--runs 5] [--doscar FILE] [--pdsplit PROGRAM]

Run it with an interpreter that imports pdsplit and numpy (the virtual
environment of docs/python.md); ASE's VaspDos (Debian: python3-ase) is measured
when ASE imports. Each reader runs in a process of its own, once to warm up
and then --runs times with the input in the page cache; the table shows the
medians of the time of the read call, of the whole process (interpreter
start and imports included) and of its peak resident memory (ru_maxrss),
then the goals:
  pdsplit.read at least 30x faster than VaspDos;
  peak memory of pdsplit.read at most its arrays + 64 MiB;
  pdsplit.read(atoms=[1]) within 1.2x of the command line's pdsplit -p 1.

The same DOSCAR compressed with gzip -6, xz -6 and bzip2 -9 (made once into
the folder compressed/ next to it and reused) is read with pdsplit.read and
decompressed by the command-line decompressor alone into /dev/null, with the
goals: pdsplit.read of a compressed file within 1.3x of its decompressor, and
its peak memory at most its arrays + 64 MiB. --no-compressed leaves them out.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Each reader is a small program run with this interpreter; it prints the
# time of its read and the bytes of the arrays it holds. Its imports come
# before the clock starts.
CHILD = """
import json, sys, time
path = sys.argv[1]
{imports}
t0 = time.perf_counter()
{read}
t1 = time.perf_counter()
print(json.dumps({{"read": t1 - t0, "arrays": int(arrays)}}))
"""

READERS = {
    "pdsplit.read (all atoms)": (
        "import numpy, pdsplit",
        "d = pdsplit.read(path)\narrays = d.total.nbytes + d.pdos.nbytes",
    ),
    "pdsplit.read(atoms=[1])": (
        "import numpy, pdsplit",
        "d = pdsplit.read(path, atoms=[1])\narrays = d.total.nbytes + d.pdos.nbytes",
    ),
    "ASE VaspDos": (
        "from ase.calculators.vasp import VaspDos",
        "d = VaspDos(path)\narrays = d._total_dos.nbytes + d._site_dos.nbytes",
    ),
    # Line by line into numpy, one block at a time: what a script without a
    # dedicated reader does.
    "plain numpy (np.loadtxt per block)": (
        "import itertools, numpy as np",
        """with open(path) as f:
    natoms = int(f.readline().split()[0])
    for _ in range(4): f.readline()
    npoints = int(f.readline()[32:37])
    total = np.loadtxt(itertools.islice(f, npoints))
    blocks = []
    for _ in range(natoms):
        f.readline()
        blocks.append(np.loadtxt(itertools.islice(f, npoints)))
    pdos = np.array(blocks)
arrays = total.nbytes + pdos.nbytes""",
    ),
}

CLI = "pdsplit -p 1 (command line)"
TIME = "/usr/bin/time"

# Compressed copies of the DOSCAR: the file name, the command that makes it
# from the DOSCAR on its standard input, and the decompressor it is
# measured against.
COMPRESSED = {
    "gzip": ("DOSCAR.gz", ["gzip", "-6"], ["gzip", "-dc"]),
    "xz": ("DOSCAR.xz", ["xz", "-6"], ["xz", "-dc"]),
    "bzip2": ("DOSCAR.bz2", ["bzip2", "-9"], ["bzip2", "-dc"]),
}
READ_ALL = "pdsplit.read (all atoms)"


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def timed(command, doscar, cwd=None, output=True):
    """Runs a command under /usr/bin/time with the input in the page cache:
    its standard output (or None when `output` is false: it goes to
    /dev/null), wall time and peak resident memory. (A child forked straight
    from this interpreter would count this interpreter's memory as its own.)"""
    warm(doscar)
    stdout = subprocess.PIPE if output else subprocess.DEVNULL
    with tempfile.NamedTemporaryFile("r") as usage:
        t0 = time.perf_counter()
        done = subprocess.run([TIME, "-f", "%M", "-o", usage.name, *command], cwd=cwd,
                              stdout=stdout, stderr=subprocess.PIPE, text=True)
        wall = time.perf_counter() - t0
        if done.returncode != 0:
            sys.exit(f"{' '.join(command)} failed with status {done.returncode}:\n{done.stderr}")
        return done.stdout, wall, int(usage.read().split()[-1]) * 1024


def run_child(label, doscar):
    imports, read = READERS[label]
    code = CHILD.format(imports=imports, read=read)
    out, wall, peak = timed([sys.executable, "-c", code, str(doscar)], doscar)
    result = json.loads(out.splitlines()[-1])
    return {**result, "process": wall, "peak": peak}


def run_cli(program, doscar, scratch):
    """pdsplit -p 1 in a folder holding only a link DOSCAR -> the input."""
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir()
    (scratch / "DOSCAR").symlink_to(doscar)
    _, wall, peak = timed([str(program), "-p", "1"], doscar, cwd=scratch)
    return {"read": wall, "process": wall, "peak": peak, "arrays": 0}


def compressed_copy(doscar, fmt):
    """The copy of the DOSCAR compressed as `fmt` in the folder compressed/
    next to it, made when missing or older than the DOSCAR."""
    name, compress, _ = COMPRESSED[fmt]
    path = doscar.parent / "compressed" / name
    if path.exists() and path.stat().st_mtime >= doscar.stat().st_mtime:
        return path
    path.parent.mkdir(exist_ok=True)
    print(f"making {path} with {' '.join(compress)} (once)", file=sys.stderr)
    partial = path.with_name(name + ".partial")
    with open(doscar, "rb") as src, open(partial, "wb") as dst:
        subprocess.run(compress, stdin=src, stdout=dst, check=True)
    partial.replace(path)
    return path


def run_decompressor(fmt, path):
    """The decompressor alone, its text written to /dev/null."""
    _, wall, peak = timed([*COMPRESSED[fmt][2], str(path)], path, output=False)
    return {"read": wall, "process": wall, "peak": peak, "arrays": 0}


def decompressor_label(fmt):
    return f"{' '.join(COMPRESSED[fmt][2])} (decompressor alone)"


def reads_compressed():
    """Whether pdsplit.read takes a gzip file: a sample of the tests, gzipped."""
    sample = ROOT / "tests/data/nonspin-lm-4atoms-nedos10.DOSCAR"
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "DOSCAR.gz"
        with open(sample, "rb") as src, open(path, "wb") as dst:
            subprocess.run(["gzip", "-c"], stdin=src, stdout=dst, check=True)
        code = "import pdsplit, sys; pdsplit.read(sys.argv[1])"
        return subprocess.run([sys.executable, "-c", code, str(path)],
                              capture_output=True).returncode == 0


def imports(module):
    return subprocess.run([sys.executable, "-c", f"import {module}"],
                          capture_output=True).returncode == 0


def medians(runs):
    return {k: statistics.median(r[k] for r in runs) for k in runs[0]}


def measure(label, once, runs):
    once()  # warm-up
    m = medians([once() for _ in range(runs)])
    print(f"  {label}: {m['read']:.3f} s", file=sys.stderr)
    return m


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--doscar", type=Path, default=ROOT / "build-bench/data/big/DOSCAR")
    parser.add_argument("--pdsplit", type=Path, default=ROOT / "build-bench/pdsplit")
    parser.add_argument("--no-compressed", action="store_true",
                        help="leave out the gzip, xz and bzip2 copies")
    args = parser.parse_args()
    if args.runs < 5:
        sys.exit("--runs: at least 5")
    for what, path in (("DOSCAR", args.doscar), ("program", args.pdsplit)):
        if not path.exists():
            sys.exit(f"{what} {path} is missing: run bench/run first (it builds the program "
                     "and generates the DOSCAR once)")
    if not Path(TIME).exists():
        sys.exit(f"{TIME} is missing (Debian: apt-get install time)")
    if not imports("numpy, pdsplit"):
        sys.exit("pdsplit does not import: run this with the interpreter of the virtual "
                 "environment that has it (docs/python.md, Install)")
    labels = list(READERS)
    if not imports("ase"):
        labels.remove("ASE VaspDos")
        print("ASE does not import: VaspDos not measured (Debian: python3-ase)", file=sys.stderr)
    formats = [] if args.no_compressed else list(COMPRESSED)
    missing = [c[2][0] for c in COMPRESSED.values() if formats and not shutil.which(c[2][0])]
    if missing:
        sys.exit(f"{', '.join(missing)} missing (Debian: apt-get install gzip xz-utils bzip2), "
                 "or leave the compressed files out with --no-compressed")
    if formats and not reads_compressed():
        formats = []
        print("pdsplit.read does not read a gzip file: compressed files not measured",
              file=sys.stderr)

    doscar = args.doscar.resolve()
    compressed = {fmt: compressed_copy(doscar, fmt) for fmt in formats}
    size = doscar.stat().st_size
    print(f"input: {doscar} ({size} bytes); {args.runs} runs each", file=sys.stderr)
    load = os.getloadavg()
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for label in labels:
            results[label] = measure(label, lambda: run_child(label, doscar), args.runs)
        scratch = Path(tmp) / "cli"
        results[CLI] = measure(CLI, lambda: run_cli(args.pdsplit.resolve(), doscar, scratch),
                               args.runs)
    for fmt, path in compressed.items():
        results[f"pdsplit.read, {fmt} file"] = measure(
            f"pdsplit.read, {fmt} file", lambda: run_child(READ_ALL, path), args.runs)
        results[decompressor_label(fmt)] = measure(
            decompressor_label(fmt), lambda: run_decompressor(fmt, path), args.runs)
    report(results, size, args.runs, load, list(compressed))


def report(results, size, runs, load, formats):
    print(f"\npdsplit.read benchmark: DOSCAR of {size / 1e6:.0f} MB, medians of {runs} "
          f"runs, warm page cache, {os.cpu_count()} cores, load average before "
          f"{load[0]:.2f}, after {os.getloadavg()[0]:.2f}\n")
    print("| reader | read s | process s | peak MiB | arrays MiB |")
    print("|---|---|---|---|---|")
    for label, m in results.items():
        arrays = f"{m['arrays'] / 2**20:.0f}" if m["arrays"] else "-"
        print(f"| {label} | {m['read']:.3f} | {m['process']:.3f} | {m['peak'] / 2**20:.0f} | {arrays} |")

    read_all = results[READ_ALL]
    one = results["pdsplit.read(atoms=[1])"]
    cli = results[CLI]
    print()
    if "ASE VaspDos" in results:
        speedup = results["ASE VaspDos"]["read"] / read_all["read"]
        goal(f"pdsplit.read {speedup:.1f}x faster than VaspDos", speedup >= 30, "at least 30x")
    extra = (read_all["peak"] - read_all["arrays"]) / 2**20
    goal(f"pdsplit.read peak = arrays + {extra:.0f} MiB", extra <= 64, "at most arrays + 64 MiB")
    ratio = one["read"] / cli["process"]
    goal(f"read(atoms=[1]) {ratio:.2f}x the time of pdsplit -p 1", ratio <= 1.2, "at most 1.2x")
    ratio = one["process"] / cli["process"]
    print(f"  (whole processes, interpreter start and imports included: {ratio:.2f}x)")
    for fmt in formats:
        read = results[f"pdsplit.read, {fmt} file"]
        ratio = read["read"] / results[decompressor_label(fmt)]["process"]
        goal(f"read of the {fmt} file {ratio:.2f}x its decompressor", ratio <= 1.3,
             "at most 1.3x")
        extra = (read["peak"] - read["arrays"]) / 2**20
        goal(f"read of the {fmt} file: peak = arrays + {extra:.0f} MiB", extra <= 64,
             "at most arrays + 64 MiB")


def goal(text, met, target):
    print(f"{text:<52} goal {target:<22} {'met' if met else 'NOT MET'}")


if __name__ == "__main__":
    main()
