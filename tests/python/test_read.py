"""pdsplit.read: kinds, header values, every value against the fixed columns
parsed in Python, atom subsets, folders and threads."""
import concurrent.futures
import pathlib

import numpy as np
import pytest

import pdsplit
from conftest import DATA, SAMPLES, blocks_by_columns, sample_lines


@pytest.mark.parametrize("name", SAMPLES)
def test_kind_and_shapes(name):
    natoms, npoints, spin, projection, npcol = SAMPLES[name]
    d = pdsplit.read(DATA / name)
    ntcol = 4 if spin else 2
    assert (d.natoms, d.npoints, d.spin, d.projection, d.f_orbitals) == (
        natoms, npoints, spin, projection, False)
    assert (len(d.total_columns), len(d.atom_columns)) == (ntcol, npcol)
    assert d.atom_columns[0] == ("s_up" if spin else "s")
    assert d.total.shape == (npoints, ntcol + 1)
    assert d.pdos.shape == (natoms, npoints, npcol + 1)
    assert d.atoms == tuple(range(1, natoms + 1))


# case: (sample, {(line, first column): field put there}); the signs of zero are
# compared too, which array_equal cannot see
FOUR = "nonspin-lm-4atoms-nedos10.DOSCAR"  # atom 1's data: lines 18-27, atom 4's: 51-60
VALUES = {name: (name, {}) for name in SAMPLES}
VALUES["-0 in the total block"] = (FOUR, {(7, 12): " -0.0000E+00", (16, 24): " -0.0000E+00"})
VALUES["-0 in atom blocks"] = (FOUR, {(18, 12): " -0.0000E+00", (60, 108): " -0.0000E+00"})


@pytest.mark.parametrize("case", VALUES.values(), ids=VALUES.keys())
def test_values_are_the_fields(tmp_path, case):
    name, fields = case
    natoms, npoints, spin, _, npcol = SAMPLES[name]
    lines = sample_lines(name)
    for (n, column), field in fields.items():
        lines[n - 1] = lines[n - 1][: column - 1] + field + lines[n - 1][column - 1 + len(field) :]
    (tmp_path / "DOSCAR").write_text("".join(lines))
    d = pdsplit.read(tmp_path)
    assert d.system == lines[4][:40].strip(" \n") and lines[4][0] == " "
    assert (d.emax, d.emin, d.efermi) == (float(lines[5][:16]), float(lines[5][16:32]), float(lines[5][37:53]))
    total, atoms = blocks_by_columns(name, 4 if spin else 2, npcol, natoms, npoints, lines)
    for got, want in ((d.total, total), (d.pdos, atoms)):
        assert np.array_equal(got, want) and np.array_equal(np.signbit(got), np.signbit(want))


@pytest.mark.parametrize("natoms", range(1, 11))
def test_files_of_few_atoms(tmp_path, natoms):
    # the first atoms of a sample, line 1 saying how many
    name = "spin-lm-57atoms.DOSCAR"
    lines = sample_lines(name)[: 6 + 31 + natoms * 32]
    lines[0] = f"{natoms:4d}{natoms:4d}" + lines[0][8:]
    (tmp_path / "DOSCAR").write_text("".join(lines))
    d = pdsplit.read(tmp_path)
    total, atoms = blocks_by_columns(name, 4, 18, natoms, 31)
    assert d.atoms == tuple(range(1, natoms + 1))
    assert np.array_equal(d.total, total) and np.array_equal(d.pdos, atoms)


def test_atom_subsets():
    name = "nonspin-lm-8atoms.DOSCAR"
    full = pdsplit.read(DATA / name)
    some = pdsplit.read(DATA / name, atoms=[5, 2, 5])
    assert some.atoms == (2, 5)
    assert np.array_equal(some.pdos, full.pdos[[1, 4]])
    assert np.array_equal(some.atom(5), full.atom(5))
    assert np.array_equal(some.sum([5, 2]), full.sum([5, 2]))  # atom 1's energies were kept
    for missing in (1, 9, 0):
        with pytest.raises(KeyError):
            some.atom(missing)
    with pytest.raises(KeyError):
        some.sum([2, 3])
    with pytest.raises(ValueError):
        some.sum([])
    none = pdsplit.read(DATA / name, atoms=[])
    assert none.pdos.shape == (0, 301, 10) and none.atoms == ()
    assert np.array_equal(none.total, full.total)


def test_total_block_only_file(tmp_path):
    name = "spin-l-1atom.DOSCAR"
    path = tmp_path / "DOSCAR"
    path.write_text("".join(sample_lines(name)[: 6 + 301]))
    d = pdsplit.read(path, atoms=[])
    assert (d.projection, d.atom_columns, d.pdos.shape) == (None, (), (0, 301, 1))
    assert np.array_equal(d.total, pdsplit.read(DATA / name).total)
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(path)
    assert (e.value.number, e.value.line) == (24, 307)


@pytest.mark.parametrize("as_path", [str, pathlib.Path, lambda p: str(p) + "/"])
def test_a_folder_holding_doscar(tmp_path, as_path):
    name = "spin-lm-57atoms.DOSCAR"
    (tmp_path / "DOSCAR").write_text((DATA / name).read_text())
    d = pdsplit.read(as_path(tmp_path))
    assert d.path == str(tmp_path / "DOSCAR")
    assert np.array_equal(d.pdos, pdsplit.read(DATA / name).pdos)
    (tmp_path / "DOSCAR").write_text("".join(sample_lines(name)[:100]))
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(as_path(tmp_path))
    assert e.value.path == str(tmp_path / "DOSCAR") and str(e.value).startswith(e.value.path + " ")


def test_two_threads_read_at_once():
    names = ["nonspin-lm-8atoms.DOSCAR", "spin-l-1atom.DOSCAR"] * 4
    alone = {n: pdsplit.read(DATA / n).pdos for n in set(names)}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for name, d in zip(names, pool.map(lambda n: pdsplit.read(DATA / n), names)):
            assert np.array_equal(d.pdos, alone[name])
