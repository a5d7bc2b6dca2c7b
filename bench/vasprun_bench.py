"""Times pdsplit.read of a vasprun.xml written by gen_vasprun.py against
pymatgen's Vasprun(...).complete_dos and against pdsplit.read of the DOSCAR
with the same values, with the peak RSS of each (ru_maxrss of a process of
its own, which counts the pages of a mapped file); and the vasprun.xml.gz
against inflating its text up to </dos> alone.

    python3 bench/vasprun_bench.py FOLDER [--no-pymatgen] [--repeat 3]

FOLDER holds vasprun.xml and DOSCAR (gen_vasprun.py FOLDER); vasprun.xml.gz
is made beside them (gzip -1) when it is not there.
"""
import argparse
import subprocess
import sys
import time
from pathlib import Path

# Each case runs in a fresh interpreter: prints seconds (best of `repeat`)
# and the peak RSS in MiB.
CASE = r"""
import resource, sys, time, warnings, zlib
warnings.simplefilter("ignore")
kind, path, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])
def inflate_to_dos():
    d = zlib.decompressobj(31)
    tail = b""
    with open(path, "rb") as f:
        while chunk := f.read(1 << 20):
            text = tail + d.decompress(chunk)
            if b"</dos>" in text:
                return
            tail = text[-8:]
if kind == "pymatgen":
    from pymatgen.io.vasp.outputs import Vasprun
    run = lambda: Vasprun(path, parse_dos=True, parse_eigen=False, parse_projected_eigen=False,
                          parse_potcar_file=False).complete_dos
elif kind == "inflate":
    run = inflate_to_dos
else:
    import pdsplit
    run = lambda: pdsplit.read(path)
best = float("inf")
for _ in range(repeat):
    t = time.perf_counter(); run(); best = min(best, time.perf_counter() - t)
print(best, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
"""


def case(kind, path, repeat):
    out = subprocess.run([sys.executable, "-c", CASE, kind, str(path), str(repeat)],
                         check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


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


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("folder", type=Path)
    p.add_argument("--no-pymatgen", action="store_true")
    p.add_argument("--repeat", type=int, default=3)
    a = p.parse_args()
    xml, doscar, gz = a.folder / "vasprun.xml", a.folder / "DOSCAR", a.folder / "vasprun.xml.gz"
    if not gz.exists():
        with open(gz, "wb") as f:
            subprocess.run(["gzip", "-1", "-c", str(xml)], stdout=f, check=True)
    mib = xml.stat().st_size / 2**20
    print(f"vasprun.xml {mib:.0f} MiB (</dos> at {dos_end(xml) / 2**20:.0f} MiB), "
          f"DOSCAR {doscar.stat().st_size / 2**20:.0f} MiB, .gz {gz.stat().st_size / 2**20:.0f} MiB")
    rows = [("pdsplit.read(vasprun.xml)", "pdsplit", xml), ("pdsplit.read(DOSCAR)", "pdsplit", doscar),
            ("pdsplit.read(vasprun.xml.gz)", "pdsplit", gz), ("inflate .gz to </dos> (zlib)", "inflate", gz)]
    if not a.no_pymatgen:
        rows.append(("pymatgen Vasprun.complete_dos", "pymatgen", xml))
    results = {}
    for label, kind, path in rows:
        results[label] = case(kind, path, 1 if kind == "pymatgen" else a.repeat)
        print(f"{label:34s} {results[label][0]:8.3f} s   peak RSS {results[label][1]:7.0f} MiB",
              flush=True)
    read = results["pdsplit.read(vasprun.xml)"][0]
    print(f"vasprun.xml / DOSCAR: {read / results['pdsplit.read(DOSCAR)'][0]:.2f}x; "
          f".gz / inflate to </dos>: "
          f"{results['pdsplit.read(vasprun.xml.gz)'][0] / results['inflate .gz to </dos> (zlib)'][0]:.2f}x")
    if not a.no_pymatgen:
        print(f"pymatgen / pdsplit: {results['pymatgen Vasprun.complete_dos'][0] / read:.0f}x")


if __name__ == "__main__":
    main()
