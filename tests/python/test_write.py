"""pdsplit.write gives the bytes of the command line's files, for every
sample and operation."""
import os

import pytest

import pdsplit
from conftest import DATA, SAMPLES

# option arguments for natoms n -> (the block to write, shifted or not)
OPERATIONS = {
    "-t": (lambda n: ["-t"], lambda d: d.total, True),
    "-ft": (lambda n: ["-ft"], lambda d: d.total, False),
    "-p": (lambda n: ["-p", str(n)], lambda d: d.atom(d.natoms), True),
    "-s1": (lambda n: ["-s1", "1", str(n)], lambda d: d.sum(range(1, d.natoms + 1)), True),
    "-s2": (lambda n: ["-s2", str(n), "1", str(n)], lambda d: d.sum([d.natoms, 1, d.natoms]), True),
}


@pytest.mark.parametrize("op", OPERATIONS)
@pytest.mark.parametrize("name", SAMPLES)
def test_same_bytes_as_the_command_line(tmp_path, cli, name, op):
    args, block, shifted = OPERATIONS[op]
    natoms = SAMPLES[name][0]
    status, files = cli(tmp_path / "cli", (DATA / name).read_text(), *args(natoms))
    assert status == 0 and len(files) == 1
    d = pdsplit.read(DATA / name)
    pdsplit.write(tmp_path / "out", block(d), shift=d.efermi if shifted else 0.0)
    assert (tmp_path / "out").read_bytes() == next(iter(files.values()))


# name written -> how it reaches a DOSCAR (None: it is named so); every DOSCAR
# of run/ and other/ holds "kept"
LINKS = {
    "DOSCAR": None,
    "run/./DOSCAR ": None,
    "run/DOSCAR.gz": None,
    "run/DOSCAR.bz2": None,
    "": None,
    "run/out": lambda t: os.symlink("DOSCAR", t / "run" / "out"),
    "run/hard": lambda t: os.link(t / "run" / "DOSCAR.xz", t / "run" / "hard"),
    "run/far": lambda t: os.symlink(t / "other" / "DOSCAR.gz", t / "run" / "far"),
    "other/up": lambda t: os.symlink("../run/DOSCAR", t / "other" / "up"),
    # from run/: a link to a hard link of run/DOSCAR in other/
    "run:lnk": lambda t: (os.link(t / "run" / "DOSCAR", t / "other" / "copy"),
                          os.symlink("../other/copy", t / "run" / "lnk")),
}


@pytest.mark.parametrize("name", LINKS)
def test_a_doscar_is_never_written(tmp_path, monkeypatch, name):
    for folder, doscar in [("run", "DOSCAR"), ("run", "DOSCAR.xz"), ("other", "DOSCAR.gz")]:
        (tmp_path / folder).mkdir(exist_ok=True)
        (tmp_path / folder / doscar).write_text("kept")
    if LINKS[name]:
        LINKS[name](tmp_path)
    d = pdsplit.read(DATA / "spin-l-1atom.DOSCAR")
    path = os.path.join(tmp_path, name) if name else ""
    if ":" in name:
        monkeypatch.chdir(tmp_path / name.split(":")[0])
        path = name.split(":")[1]
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.write(path, d.total)
    assert e.value.number == 1
    assert ("never written" if name else "an empty output name") in str(e.value)
    for doscar in ("run/DOSCAR", "run/DOSCAR.xz", "other/DOSCAR.gz"):
        assert (tmp_path / doscar).read_text() == "kept"
    assert not (tmp_path / "DOSCAR").exists()


# shape of a block of ones -> values of each line written, None when refused
SHAPES = {(5,): None, (5, 1): None, (5, 2): 1, (5, 100): 99, (5, 101): None, (2, 5, 3): None}


@pytest.mark.parametrize("shape", SHAPES)
def test_block_shapes(tmp_path, shape):
    import numpy as np

    if SHAPES[shape] is None:
        with pytest.raises(ValueError):
            pdsplit.write(tmp_path / "out", np.ones(shape))
        assert not (tmp_path / "out").exists()
    else:
        pdsplit.write(tmp_path / "out", np.ones(shape))
        line = "      1.000" + "  0.1000E+01" * SHAPES[shape] + "\n"
        assert (tmp_path / "out").read_text() == line * shape[0]
