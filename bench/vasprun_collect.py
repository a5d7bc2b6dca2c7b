"""Times `python3 -m pdsplit collect` on a tree of run folders that hold a
vasprun.xml alone, against the serial loop users write with pymatgen: per
run Vasprun(path, parse_potcar_file=False), its complete_dos, the d-band
centre (get_band_center) and the gap (get_gap), collected into a list; and
the same loop with parse_dos=True, parse_eigen=False,
parse_projected_eigen=False.

    python3 bench/vasprun_collect.py TREE [--count 24] [--ions 8 60]
        [--nedos 2001 3001] [--mb 10 100] [--runs 3] [--loop-runs 1]
        [--subset K] [--default-only]

TREE is made when it does not exist: --count folders runNN/, each with a
vasprun.xml of gen_vasprun.py (ions, NEDOS and size in MB drawn from the
ranges given; the k-points set the size, at least the DOS's), every third gzipped
(vasprun.xml.gz, gzip -6). An existing TREE is timed as it is (any tree of
run folders with vasprun.xml or vasprun.xml.gz).

Each run of a case is a process of its own (the cases take turns): the
collection is the whole command (start and imports included, its output
folder removed before each run), the loop is timed alone (imports
excluded). Prints the median, min and max seconds and median peak RSS
(ru_maxrss) of each, the ratios loop / collect with 2 workers and 1, and
the speed-up from 1 to 2 workers. --subset K times the loop on K runs
spread over the tree and scales it by the XML bytes of the whole tree (the
lines say so).
"""
import argparse
import math
import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from fresh_process import row, run, spread

GEN = Path(__file__).resolve().parent / "gen_vasprun.py"
LOOP = r"""
import sys, time, warnings
warnings.simplefilter("ignore")
from pymatgen.io.vasp.outputs import Vasprun
variant, paths = sys.argv[1], sys.argv[2:]
options = {} if variant == "defaults" else dict(parse_dos=True, parse_eigen=False,
                                                 parse_projected_eigen=False)
start = time.perf_counter()
rows = []
for path in paths:
    v = Vasprun(path, parse_potcar_file=False, **options)
    dos = v.complete_dos
    rows.append((path, dos.get_band_center(), dos.get_gap()))
print(time.perf_counter() - start)
"""


def shapes(count, ions, nedos, mb, seed=30):
    """(ions, NEDOS, k-points, bands) of each run, 4 bands an ion and at least
    one k-point: the <partial> DOS rows take about 126 bytes a point, ion and
    spin; each k-point and band about 107 bytes an ion (<projected>) and 126
    more (two eigenvalue rows and tags)."""
    rng = random.Random(seed)
    for _ in range(count):
        n, points = rng.randint(*ions), rng.randint(*nedos)
        size = math.exp(rng.uniform(math.log(mb[0]), math.log(mb[1]))) * 1e6
        bands = 4 * n
        kpoints = round((size - 252 * n * points) / (2 * bands * (107 * n + 126)))
        yield n, points, max(1, kpoints), bands


def make_tree(tree, a):
    """Writes the tree into TREE.part, renamed TREE when complete."""
    part = tree.with_name(tree.name + ".part")
    shutil.rmtree(part, ignore_errors=True)
    for k, (n, points, kpoints, bands) in enumerate(shapes(a.count, a.ions, a.nedos, a.mb)):
        folder = part / f"run{k:02d}"
        subprocess.run([sys.executable, str(GEN), str(folder), "--no-doscar", "--ions", str(n),
                        "--nedos", str(points), "--kpoints", str(kpoints), "--bands",
                        str(bands)], check=True)
        if k % 3 == 0:
            subprocess.run(["gzip", "-6", str(folder / "vasprun.xml")], check=True)
    part.rename(tree)


def xml_bytes(path):
    """Bytes of the XML text: a .gz file's last 4 bytes hold them (mod 2^32)."""
    if path.suffix != ".gz":
        return path.stat().st_size
    with open(path, "rb") as f:
        f.seek(-4, 2)
        return int.from_bytes(f.read(4), "little")


def measure(cases, rounds):
    """{label: [(seconds, peak MiB), ...]}: each case (label, runs, cmd, how)
    run `runs` times, taking turns; how(wall, stdout) gives the seconds."""
    results = {label: [] for label, *_ in cases}
    for k in range(rounds):
        for label, runs, cmd, how in cases:
            if k < runs:
                wall, peak, out = run(cmd())
                results[label].append((how(wall, out), peak))
    return results


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("tree", type=Path)
    p.add_argument("--count", type=int, default=24, help="runs of a new tree")
    p.add_argument("--ions", type=int, nargs=2, default=(8, 60), metavar=("LO", "HI"))
    p.add_argument("--nedos", type=int, nargs=2, default=(2001, 3001), metavar=("LO", "HI"))
    p.add_argument("--mb", type=float, nargs=2, default=(10, 100), metavar=("LO", "HI"))
    p.add_argument("--runs", type=int, default=3, help="runs of each collection")
    p.add_argument("--loop-runs", type=int, default=1, help="runs of each pymatgen loop")
    p.add_argument("--subset", type=int, help="time the loops on this many runs and scale")
    p.add_argument("--default-only", action="store_true", help="no loop with the DOS alone")
    a = p.parse_args()
    if not a.tree.exists():
        make_tree(a.tree, a)
    paths = sorted(a.tree.glob("**/vasprun.xml")) + sorted(a.tree.glob("**/vasprun.xml.gz"))
    total = sum(map(xml_bytes, paths))
    print(f"{a.tree}: {len(paths)} runs ({sum(p.suffix == '.gz' for p in paths)} gzipped), "
          f"{total / 1e6:.0f} MB of XML, {sum(p.stat().st_size for p in paths) / 1e6:.0f} MB "
          f"on disk")
    timed = paths[:: max(1, len(paths) // a.subset)][: a.subset] if a.subset else paths
    scale = total / sum(map(xml_bytes, timed))
    scaled = f", {len(timed)} runs scaled x{scale:.2f}" if len(timed) < len(paths) else ""
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "out"

        def collect(workers):
            shutil.rmtree(out, ignore_errors=True)  # the dataset and all beside it
            out.mkdir()
            return [sys.executable, "-m", "pdsplit", "collect", str(a.tree), "-o",
                    str(out / "dos.nc"), "-j", str(workers), "-q"]

        loop = lambda variant: lambda: [sys.executable, "-c", LOOP, variant, *map(str, timed)]
        cases = [(f"collect -j {j} (whole command)", a.runs, lambda j=j: collect(j),
                  lambda wall, _: wall) for j in (2, 1)]
        for variant in ("defaults",) if a.default_only else ("defaults", "DOS only"):
            cases.append((f"pymatgen loop, {variant} (loop alone{scaled})", a.loop_runs,
                          loop(variant), lambda _, text: float(text) * scale))
        results = measure(cases, max(a.runs, a.loop_runs))
    median = {}
    for label, values in results.items():
        median[label] = spread([v[0] for v in values])[0]
        print(f"{row(label, [v[0] for v in values], 60)}  peak RSS "
              f"{spread([v[1] for v in values])[0]:6.0f} MiB")
    two, one, *loops = median
    for label in loops:
        print(f"{label.split(' (')[0]} / collect: {median[label] / median[two]:.1f}x (2 workers), "
              f"{median[label] / median[one]:.1f}x (1 worker)")
    print(f"collect speed-up from 1 to 2 workers: {median[one] / median[two]:.2f}x")


if __name__ == "__main__":
    main()
