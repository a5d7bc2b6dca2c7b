#!/usr/bin/env python3
"""Benchmark of pdsplit.collect on a tree of many synthetic run folders,
against the loop a user would write with numpy: pdsplit.read of each run,
np.interp of its cumulative DOS onto the same bins (the same states-
conserving grid), the element DOS by orbital, the band edges and d-band
centres in numpy, one run after the other. ASE's VaspDos reads the DOSCAR
in that loop instead when ASE imports (Debian: python3-ase).

    bench/many_runs.py [--runs 200] [--workers N] [--tree DIR] [--gen PROGRAM]
                       [--mode loop|dask|shards] [--shards N]

--mode dask: collect on a Dask LocalCluster of --workers worker processes
(one thread each) against the local collect with --workers threads.
--mode shards: --shards shards of the tree's run list collected one after
the other (each with --workers threads) and merged, against one local
collect; and the merge alone against that collect.

The tree (made once with bench/gen_doscar and reused when --tree names a
folder that holds it) has --runs folders of 2-60 atoms and 301-3001 grid
points, with and without spin, l- and l,m-projected, a few with f
orbitals, a third gzipped, each with a POSCAR and an INCAR; one in 50 is
cut short.
Prints the time and runs per second of each, and the speed-up.
"""
import argparse
import gzip
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import pdsplit

ROOT = Path(__file__).resolve().parent.parent
ELEMENTS = ["O", "Ti", "Fe", "Ni", "Cu", "Zn", "Mg", "Al", "Si", "Ga", "As", "Ce"]
GRID = (-10.0, 10.0, 0.05)


def generator(given, scratch):
    if given:
        return given
    program = Path(scratch) / "gen_doscar"
    subprocess.run(["c++", "-O2", "-std=c++20", str(ROOT / "bench/gen_doscar.cpp"), "-o",
                    str(program)], check=True)
    return str(program)


def poscar(symbols):
    species = list(dict.fromkeys(symbols))
    counts = [symbols.count(s) for s in species]
    atoms = "".join(f"  {k / len(symbols):.4f} 0.0 0.0\n" for k in range(len(symbols)))
    return (f"synthetic\n1.0\n 9 0 0\n 0 9 0\n 0 0 9\n{' '.join(species)}\n"
            f"{' '.join(map(str, counts))}\nDirect\n{atoms}")


def make_tree(tree, runs, gen):
    rng = random.Random(7)
    for k in range(runs):
        folder = Path(tree) / f"batch{k // 100:03d}" / f"run{k:05d}"
        folder.mkdir(parents=True, exist_ok=True)
        natoms, points = rng.randint(2, 60), rng.randint(301, 3001)
        args = [gen, "--atoms", str(natoms), "--points", str(points), "--seed", str(k + 1)]
        flags = [flag for flag, p in (("--spin", 0.5), ("--lm", 0.5), ("--f", 0.1))
                 if rng.random() < p]
        args += flags
        data = subprocess.run(args + ["-o", "-"], check=True, capture_output=True).stdout
        if k % 50 == 49:
            data = data[: len(data) // 2]  # cut short
        species = rng.sample(ELEMENTS, rng.randint(1, 3))
        symbols = sorted((species[a % len(species)] for a in range(natoms)), key=species.index)
        (folder / "POSCAR").write_text(poscar(symbols))
        (folder / "INCAR").write_text(f"ISPIN = {2 if '--spin' in flags else 1}\n"
                                      f"LORBIT = {11 if '--lm' in flags else 10}\n"
                                      f"NEDOS = {points}\nISMEAR = 0\nSIGMA = 0.05\n")
        if k % 3 == 0:
            (folder / "DOSCAR.gz").write_bytes(gzip.compress(data, 6))
        else:
            (folder / "DOSCAR").write_bytes(data)


def binned(e, y, edges):
    """Mean DOS over each bin: the cumulative trapezoid integral at the edges."""
    cumulative = np.concatenate([[0.0], np.cumsum(np.diff(e) * (y[1:] + y[:-1]) / 2)])
    return np.diff(np.interp(edges, e, cumulative)) / GRID[2]


def band_edges(e, y, efermi, tol=0.001):
    tol = tol * y.mean()
    i = np.searchsorted(e, efermi, side="right")
    start = i
    while start > 0 and y[start - 1] <= tol:
        start -= 1
    end = start
    while end < len(y) and y[end] <= tol:
        end += 1
    return e[start], e[end - 1]


def d_centre(e, y, efermi):
    x = e - efermi
    norm = np.trapz(y, x)
    return np.trapz(x * y, x) / norm if norm else np.nan


def read_dos(folder):
    """(energies, total DOS, efermi, per-atom array or None) of one run."""
    try:
        from ase.calculators.vasp import VaspDos
    except ImportError:
        d = pdsplit.read(folder)
        total = d.total[:, 1] + d.total[:, 2] if d.spin else d.total[:, 1]
        return d.total[:, 0], total, d.efermi, d
    doscar = next(p for p in Path(folder).iterdir() if p.name.startswith("DOSCAR"))
    d = VaspDos(str(doscar))
    total = d.dos.sum(axis=0) if d.dos.ndim > 1 else d.dos
    return d.energy, total, d.efermi, None


def numpy_loop(folders):
    """The serial loop: binned total and element DOS, band edges, d-band centres."""
    edges = GRID[0] + GRID[2] * np.arange(pdsplit._core._grid_bins(*GRID) + 1)
    rows, failed = [], 0
    for folder in folders:
        try:
            e, total, efermi, d = read_dos(folder)
        except (pdsplit.DoscarError, OSError, ValueError, IndexError):
            failed += 1
            continue
        row = {"dos": binned(e, total, edges + efermi), "edges": band_edges(e, total, efermi)}
        if d is not None and d.elements:
            for el in d.elements:
                for orbital in "spdf":
                    try:
                        block = d.select(f"{el}({orbital})")
                    except (KeyError, ValueError):
                        continue
                    y = block[:, 1:].sum(axis=1)
                    row[el, orbital] = binned(block[:, 0], y, edges + efermi)
                    if orbital == "d":
                        row[el, "centre"] = d_centre(block[:, 0], y, efermi)
        rows.append(row)
    return len(rows), failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    parser.add_argument("--tree", help="folder of the tree (made there when missing)")
    parser.add_argument("--gen", help="a built gen_doscar (default: compiled with c++)")
    parser.add_argument("--mode", choices=("loop", "dask", "shards"), default="loop")
    parser.add_argument("--shards", type=int, default=10)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        tree = Path(args.tree or Path(scratch) / "tree")
        if not tree.exists():
            start = time.perf_counter()
            make_tree(tree, args.runs, generator(args.gen, scratch))
            print(f"tree of {args.runs} runs made in {time.perf_counter() - start:.1f} s")
        if args.mode != "loop":
            from many_runs_cluster import compare

            return compare(args.mode, tree, Path(scratch), args.workers, args.shards, GRID)
        folders = sorted(str(p.parent) for p in tree.glob("**/DOSCAR*"))
        start = time.perf_counter()
        done = pdsplit.collect(tree, Path(scratch) / "dos.nc", grid=GRID, workers=args.workers)
        t_collect = time.perf_counter() - start
        start = time.perf_counter()
        read, failed = numpy_loop(folders)
        t_loop = time.perf_counter() - start
    n = len(folders)
    print(f"pdsplit.collect ({args.workers} threads): {t_collect:8.2f} s  {n / t_collect:8.1f} "
          f"runs/s  ({done.runs} read, {done.failed} failed)")
    print(f"numpy loop (serial):          {t_loop:8.2f} s  {n / t_loop:8.1f} runs/s  "
          f"({read} read, {failed} failed)")
    print(f"speed-up: {t_loop / t_collect:.1f}x")


if __name__ == "__main__":
    sys.exit(main())
