"""Shared pieces of the pytest suite of the pdsplit module: the sample
DOSCAR files, a reader of their fixed columns written in plain Python, and
the command line run on a DOSCAR in a scratch folder (its path comes from
PDSPLIT_BIN, else `pdsplit` on PATH), the run trees of the collection tests
(TREE, make_tree, the fixture tree) and the environment of their commands,
and the time limit of every test."""
import faulthandler
import gzip
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import pdsplit

DATA = Path(__file__).resolve().parent.parent / "data"

# No test takes more than a few seconds: one that hangs (a decoder that loops,
# a worker that never answers) ends the run with every thread's traceback
# after this long, also when it hangs inside the C++ module. pytest-timeout
# does it when installed (Debian: python3-pytest-timeout), else faulthandler.
TEST_SECONDS = 120


def pytest_collection_modifyitems(config, items):
    if config.pluginmanager.hasplugin("timeout"):
        for item in items:
            if item.get_closest_marker("timeout") is None:
                item.add_marker(pytest.mark.timeout(TEST_SECONDS, method="thread"))


_stderr = None  # the run's standard error, where a test's output is not captured


def pytest_configure(config):
    global _stderr
    config.addinivalue_line("markers", "cluster: runs on a local Dask or Slurm cluster "
                            "(alone: pytest -m cluster; without them: -m 'not cluster')")
    if not config.pluginmanager.hasplugin("timeout"):
        _stderr = os.fdopen(os.dup(2), "w")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item):
    alarm = _stderr is not None
    if alarm:
        faulthandler.dump_traceback_later(TEST_SECONDS, exit=True, file=_stderr)
    try:
        yield
    finally:
        if alarm:
            faulthandler.cancel_dump_traceback_later()

# name: atoms, grid points, spin, projection, per-atom value columns
# (tests/data/README.md)
SAMPLES = {
    "nonspin-lm-8atoms.DOSCAR": (8, 301, False, "lm", 9),
    "nonspin-lm-4atoms-nedos10.DOSCAR": (4, 10, False, "lm", 9),
    "spin-l-1atom.DOSCAR": (1, 301, True, "l", 6),
    "spin-lm-57atoms.DOSCAR": (57, 31, True, "lm", 18),
}


def sample_lines(name):
    return (DATA / name).read_text().splitlines(keepends=True)


def fields(line, n):
    """The energy (columns 1-11) and n values (12 columns each) of a data line."""
    return [float(line[:11])] + [float(line[11 + 12 * k : 23 + 12 * k]) for k in range(n)]


def blocks_by_columns(name, ntcol, npcol, natoms, npoints, lines=None):
    """The total block and every atom's block, parsed column by column (from
    the lines given, else from the sample's)."""
    lines = lines or sample_lines(name)
    total = np.array([fields(l, ntcol) for l in lines[6 : 6 + npoints]])
    atoms = []
    for a in range(natoms):
        first = 6 + npoints + a * (npoints + 1) + 1
        atoms.append([fields(l, npcol) for l in lines[first : first + npoints]])
    return total, np.array(atoms)


@pytest.fixture(scope="session")
def cli():
    """run(doscar_text, *args) -> (status, {file name: bytes}) of the command
    line run in a scratch folder that holds only DOSCAR."""
    program = os.environ.get("PDSPLIT_BIN") or shutil.which("pdsplit")
    if not program:
        pytest.fail("the pdsplit program is needed: set PDSPLIT_BIN or put it on PATH")

    def run(folder, doscar, *args):
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "DOSCAR").write_text(doscar)
        done = subprocess.run([program, *args], cwd=folder, capture_output=True)
        files = {p.name: p.read_bytes() for p in folder.iterdir() if p.name != "DOSCAR"}
        return done.returncode, files

    return run


NEDOS10 = (DATA / "nonspin-lm-4atoms-nedos10.DOSCAR").read_text()


def _total_only():
    lines = NEDOS10.splitlines(keepends=True)
    return lines[0].replace("   4   4   1   0", "   4   4   0   0") + "".join(lines[1:16])


def _not_a_number():
    lines = NEDOS10.splitlines(keepends=True)
    lines[8] = lines[8][:11] + "  abcdefghij" + lines[8][23:]
    return "".join(lines)


# run folder: (files, error_cause or None for a run read)
TREE = {
    "good/ti8": ({"DOSCAR": (DATA / "nonspin-lm-8atoms.DOSCAR").read_bytes(),
                  "POSCAR": (DATA / "nonspin-lm-8atoms.POSCAR").read_bytes()}, None),
    "good/spin1": ({"DOSCAR": (DATA / "spin-l-1atom.DOSCAR").read_bytes()}, None),
    "good/nedos10": ({"DOSCAR.gz": gzip.compress(NEDOS10.encode(), mtime=0)}, None),
    "good/total-only": ({"DOSCAR": _total_only().encode()}, None),
    "good/al": ({p.name: p.read_bytes() for p in (DATA / "runs/al-fcc-nonspin-lm").iterdir()},
                None),
    "bad/cut": ({"DOSCAR": "".join(NEDOS10.splitlines(True)[:16]).encode()}, "truncated"),
    "bad/nan": ({"DOSCAR": _not_a_number().encode()}, "not-a-number"),
    "bad/gz": ({"DOSCAR.gz": b"\x1f\x8b\x08\x00" + b"\x00" * 40}, "corrupt-compressed"),
}
SAMPLE_COPIES = ("nonspin-lm-8atoms", "spin-l-1atom", "spin-lm-57atoms",
                 "nonspin-lm-4atoms-nedos10")


def make_tree(root, names=TREE, more=0, copies=0):
    """The run folders `names` of TREE under `root`; `more` copies of
    good/ti8 (moreKK/good/ti8); `copies` copies of the sample DOSCAR files
    and of the GaAs run folder (copyI/...). Returns root."""
    for name in names:
        folder = root / name
        folder.mkdir(parents=True, exist_ok=True)
        for file, data in TREE[name][0].items():
            (folder / file).write_bytes(data)
    for k in range(more):
        make_tree(root / f"more{k:02d}", ["good/ti8"])
    for i in range(copies):
        for sample in SAMPLE_COPIES:
            run = root / f"copy{i}" / sample
            run.mkdir(parents=True)
            shutil.copy(DATA / f"{sample}.DOSCAR", run / "DOSCAR")
        shutil.copytree(DATA / "runs/gaas-r2scan-spin-lm", root / f"copy{i}/gaas")
    return root


@pytest.fixture
def tree(tmp_path):
    """TREE's 8 run folders (3 failing) in tmp_path/tree."""
    return make_tree(tmp_path / "tree")


def environment(checkpoint=None):
    """The environment of a collection; checkpoint: seconds between its
    checkpoints (0: one per batch), None: the default."""
    package = str(Path(pdsplit.__file__).absolute().parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [package] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    env.pop("PDSPLIT_CHECKPOINT_SECONDS", None)
    if checkpoint is not None:
        env["PDSPLIT_CHECKPOINT_SECONDS"] = str(checkpoint)
    return env
