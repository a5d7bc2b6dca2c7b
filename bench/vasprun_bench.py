"""Times pdsplit.read of a vasprun.xml written by gen_vasprun.py against
pdsplit.read of the DOSCAR with the same values, of the vasprun.xml.gz,
against inflating that .gz up to </dos> alone (by the library's decoder:
read(.gz, atoms=[]), which inflates to </dos> and parses only the small
total block; and by Python's zlib, which parses nothing), and against
pymatgen's Vasprun(...).complete_dos.

    python3 bench/vasprun_bench.py FOLDER [--runs 5] [--pymatgen-runs 1]

FOLDER holds vasprun.xml and DOSCAR (gen_vasprun.py FOLDER); vasprun.xml.gz
is made beside them (gzip -1) when it is not there. Each run of a case is a
process of its own (the cases take turns); prints per case the median, min
and max seconds of the read alone (imports excluded), the median peak RSS of
the process (ru_maxrss), the size of the arrays it returned (energies,
total and per-atom DOS) and the peak RSS less them (the interpreter and its
imports count too: the zlib case imports numpy alone); then the ratios of
the medians. --pymatgen-runs 0 leaves pymatgen out (it takes minutes on the
default 800 MB file).
"""
import argparse
import subprocess
import sys
from pathlib import Path

from fresh_process import row, run, spread

# One run of a case: prints the seconds of the read and the bytes of the
# arrays it returned. numpy is imported first: pdsplit's first read imports
# it (about 0.1 s), pymatgen's import does.
CASE = r"""
import sys, time, warnings, zlib
import numpy
warnings.simplefilter("ignore")
kind, path = sys.argv[1], sys.argv[2]
def inflate_to_dos():
    d = zlib.decompressobj(31)
    tail = b""
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            text = tail + d.decompress(chunk)
            if b"</dos>" in text:
                return 0
            tail = text[-8:]
    raise SystemExit(path + ": no </dos>")
def pymatgen_dos():
    dos = Vasprun(path, parse_dos=True, parse_eigen=False, parse_projected_eigen=False,
                  parse_potcar_file=False).complete_dos
    return dos.energies.nbytes + sum(a.nbytes for a in dos.densities.values()) + sum(
        a.nbytes for site in dos.pdos.values() for orb in site.values() for a in orb.values())
def pdsplit_dos(**kw):
    d = pdsplit.read(path, **kw)
    return d.total.nbytes + d.pdos.nbytes  # total's first column holds the energies
if kind == "pymatgen":
    from pymatgen.io.vasp.outputs import Vasprun
    work = pymatgen_dos
elif kind == "inflate":
    work = inflate_to_dos
else:
    import pdsplit
    work = (lambda: pdsplit_dos(atoms=[])) if kind == "total" else pdsplit_dos
start = time.perf_counter()
size = work()
print(time.perf_counter() - start, size)
"""
XML, DOSCAR, GZ, TOTAL, ZLIB, PYMATGEN = (
    "pdsplit.read(vasprun.xml)", "pdsplit.read(DOSCAR)", "pdsplit.read(vasprun.xml.gz)",
    "read(.gz, atoms=[]): library inflates to </dos>", "Python zlib inflate of .gz to </dos>",
    "pymatgen Vasprun(...).complete_dos")


def dos_end(path):
    """Where </dos> is (read in blocks: the peak RSS of this process passes
    on to the processes it starts)."""
    with open(path, "rb") as f:
        at, tail = 0, b""
        while block := f.read(1 << 24):
            found = (tail + block).find(b"</dos>")
            if found >= 0:
                return at - len(tail) + found
            at, tail = at + len(block), block[-8:]
    return -1


def measure(cases, runs, pymatgen_runs):
    """{label: [(seconds, peak MiB, arrays MiB), ...]}, the cases taking turns."""
    results = {label: [] for label, _, _ in cases}
    for k in range(max(runs, pymatgen_runs)):
        for label, kind, path in cases:
            if k < (pymatgen_runs if kind == "pymatgen" else runs):
                _, peak, out = run([sys.executable, "-c", CASE, kind, str(path)])
                seconds, size = out.split()
                results[label].append((float(seconds), peak, int(size) / 2**20))
    return results


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("folder", type=Path)
    p.add_argument("--runs", type=int, default=5, help="runs of each pdsplit and zlib case")
    p.add_argument("--pymatgen-runs", type=int, default=1, help="0: no pymatgen case")
    a = p.parse_args()
    xml, doscar, gz = a.folder / "vasprun.xml", a.folder / "DOSCAR", a.folder / "vasprun.xml.gz"
    if not gz.exists():
        with open(gz, "wb") as f:
            subprocess.run(["gzip", "-1", "-c", str(xml)], stdout=f, check=True)
    print(f"vasprun.xml {xml.stat().st_size / 2**20:.1f} MiB (</dos> at "
          f"{dos_end(xml) / 2**20:.1f} MiB), DOSCAR {doscar.stat().st_size / 2**20:.1f} MiB, "
          f".gz {gz.stat().st_size / 2**20:.1f} MiB")
    cases = [(XML, "read", xml), (DOSCAR, "read", doscar), (GZ, "read", gz),
             (TOTAL, "total", gz), (ZLIB, "inflate", gz)]
    if a.pymatgen_runs > 0:
        cases.append((PYMATGEN, "pymatgen", xml))
    results = measure(cases, a.runs, a.pymatgen_runs)
    print(f"{'case':48s} {'median':>10s}  {'(min - max)':23s}  peak RSS  arrays  RSS-arrays MiB")
    median = {}
    for label, values in results.items():
        median[label] = spread([v[0] for v in values])[0]
        peak, arrays = spread([v[1] for v in values])[0], values[0][2]
        print(f"{row(label, [v[0] for v in values], 48)}  {peak:8.1f}  {arrays:6.1f}  "
              f"{peak - arrays:8.1f}")
    print(f"vasprun.xml / DOSCAR: {median[XML] / median[DOSCAR]:.2f}x; .gz / library inflate "
          f"to </dos>: {median[GZ] / median[TOTAL]:.2f}x; .gz / zlib inflate to </dos>: "
          f"{median[GZ] / median[ZLIB]:.2f}x")
    if PYMATGEN in median:
        print(f"pymatgen / pdsplit (vasprun.xml): {median[PYMATGEN] / median[XML]:.0f}x")


if __name__ == "__main__":
    main()
