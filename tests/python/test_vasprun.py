"""vasprun.xml read by pdsplit.read: every value of the real samples equal,
bit for bit, to what pymatgen's Vasprun parses from the same text; damaged
files refused with their number, cause and line; a run folder's choice of
file; band edges from eigenvalues (vasprun.xml, EIGENVAL)."""
import bz2
import gzip
import lzma
import shutil
import warnings

import numpy as np
import pytest

import pdsplit
from conftest import DATA

VASPRUN = DATA / "vasprun"
AL = "nonspin-lm-Al4-nedos10.vasprun.xml"
OPEN = {".gz": gzip.open, ".xz": lzma.open, ".bz2": bz2.open}

# name: atoms, points, spin sets, projection, f orbitals
SAMPLES = {
    AL: (4, 10, 1, "lm", False),
    "spin-lm-f-Ce1.vasprun.xml.bz2": (1, 301, 2, "lm", True),
    "noncollinear-lm-O2.vasprun.xml.gz": (2, 3000, 4, "lm", False),
    "spin-l-spdf-Ti2-kpoints_opt.vasprun.xml.xz": (2, 301, 2, "l", True),
    # Cut before </modeling>: pymatgen reads it once the last elements are closed.
    "nonspin-l-SrTiO3-cut.vasprun.xml.gz": (5, 301, 1, "l", False),
}


def text(name):
    opener = OPEN.get("." + name.rsplit(".", 1)[-1], open)
    with opener(VASPRUN / name, "rb") as f:
        return f.read()


def pymatgen_run(name, tmp_path):
    """pymatgen's Vasprun of the sample, its text completed where it is cut."""
    outputs = pytest.importorskip("pymatgen.io.vasp.outputs", reason="pymatgen is not installed")
    data = text(name)
    if b"</modeling>" not in data:
        data += b" </structure>\n</modeling>\n"
    path = tmp_path / "vasprun.xml"
    path.write_bytes(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return outputs.Vasprun(str(path), parse_potcar_file=False, parse_projected_eigen=False)


@pytest.mark.parametrize("name", SAMPLES)
def test_sample_equals_pymatgen(name, tmp_path):
    from pymatgen.electronic_structure.core import Spin

    natoms, points, sets, projection, f = SAMPLES[name]
    dos = pdsplit.read(VASPRUN / name)
    assert (dos.natoms, dos.npoints, dos.format, dos.source) == (natoms, points, "vasprun", name)
    assert (dos.spin, dos.noncollinear, dos.projection, dos.f_orbitals) == (
        sets == 2, sets == 4, projection, f)
    run = pymatgen_run(name, tmp_path)
    assert dos.symbols == tuple(run.atomic_symbols)
    assert dos.efermi == run.efermi
    spins = [Spin.up, Spin.down][: 2 if sets == 2 else 1]
    np.testing.assert_array_equal(dos.total[:, 0], run.tdos.energies)
    for s, spin in enumerate(spins):
        np.testing.assert_array_equal(dos.total[:, 1 + s], run.tdos.densities[spin])
        np.testing.assert_array_equal(dos.total[:, 1 + len(spins) + s], run.idos.densities[spin])
    # pymatgen keeps each orbital's spin sets as up and down, the later
    # overwriting the earlier: set 4 (mz) of a non-collinear run.
    last = {Spin.up: 0, Spin.down: sets - 1}
    for atom, orbitals in enumerate(run.pdos, start=1):
        block = dos.atom(atom)
        np.testing.assert_array_equal(block[:, 0], run.tdos.energies)
        for orbital, densities in orbitals.items():
            for spin, values in densities.items():
                column = 1 + orbital.value * sets + last[spin]
                np.testing.assert_array_equal(block[:, column], values)
    mine, theirs = dos.to_pymatgen(), run.complete_dos
    assert mine.structure == theirs.structure
    for spin in spins:
        np.testing.assert_array_equal(mine.densities[spin], theirs.densities[spin])
        for site in theirs.structure:
            for orbital, densities in theirs.pdos[site].items():
                np.testing.assert_array_equal(mine.pdos[site][orbital][spin], densities[spin])
    assert dos.eigenvalue_band_properties == tuple(run.eigenvalue_band_properties)


def test_kpoints_opt_dos_only_when_asked():
    name = "spin-l-spdf-Ti2-kpoints_opt.vasprun.xml.xz"
    main, opt = pdsplit.read(VASPRUN / name), pdsplit.read(VASPRUN / name, kpoints_opt=True)
    assert (main.efermi, opt.efermi) == (8.73771247, 8.73881616)
    assert (main.has_pdos, opt.has_pdos) == (True, False)
    assert not np.array_equal(main.total, opt.total)
    both = pdsplit.read(VASPRUN / name, kpoints_opt=True, eigenvalues=True)
    assert both.eigenvalue_band_properties == main.eigenvalue_band_properties
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(VASPRUN / AL, kpoints_opt=True)
    assert e.value.cause == "no-dos"


def lines_of(data):
    return data.decode().splitlines(keepends=True)


def line_with(lines, needle, after=0):
    return next(n for n in range(after, len(lines)) if needle in lines[n])


def damaged(kind):
    """The Al sample damaged as `kind`, and the line (from 1) of the damage."""
    lines = lines_of(text(AL))
    end = line_with(lines, "</dos>")
    row = line_with(lines, "<r>    -1.5387     0.1400", line_with(lines, "<total>"))
    if kind == "cut inside <partial>":
        lines = lines[: end - 40]
        return lines, len(lines)
    if kind == "cut after </dos>":
        return lines[: end + 1], None
    if kind == "bad number":
        lines[row] = lines[row].replace("-1.5387", "-1.53x7")
    elif kind == "missing </r>":
        lines[row] = lines[row].replace("</r>", "")
    elif kind == "entity declaration":
        lines.insert(1, '<!DOCTYPE modeling [<!ENTITY big "x">]>\n')
        return lines, 2
    elif kind == "****** in <parameters>":
        n = line_with(lines, 'name="NELM"')
        lines[n] = lines[n].replace("60", "******")
        return lines, None
    elif kind == "trimmed to <calculation>":
        return lines[line_with(lines, "<calculation>"): end + 1], None
    elif kind == "no <dos>":
        lines = lines[: line_with(lines, "<dos>")]
        return lines, len(lines)
    elif kind == "not vasprun.xml":
        return ["<html><body>no</body></html>\n"], 1
    return lines, row + 1


# damage: number, cause (None: read in full, as the whole file)
DAMAGE = {
    "cut inside <partial>": (24, "truncated"),
    "cut after </dos>": (None, None),
    "****** in <parameters>": (None, None),
    "trimmed to <calculation>": (None, None),
    "bad number": (64, "not-a-number"),
    "missing </r>": (64, "malformed-xml"),
    "entity declaration": (1, "entity"),
    "no <dos>": (24, "no-dos"),
    "not vasprun.xml": (62, "not-vasprun"),
}


@pytest.mark.parametrize("kind", DAMAGE)
def test_damaged_file(kind):
    number, cause = DAMAGE[kind]
    lines, line = damaged(kind)
    data = "".join(lines).encode()
    if number is None:
        whole, dos = pdsplit.read(VASPRUN / AL), pdsplit.read(data)
        np.testing.assert_array_equal(dos.pdos, whole.pdos)
        np.testing.assert_array_equal(dos.total, whole.total)
        assert dos.symbols == (None if kind.startswith("trimmed") else whole.symbols)
        return
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(data)
    assert (e.value.number, e.value.cause, e.value.line) == (number, cause, line), str(e.value)
    if cause == "not-a-number":
        first = lines[line - 1].index("-1.53x7") + 1
        assert (e.value.field, e.value.columns) == ("-1.53x7", (first, first + 6))


@pytest.fixture
def run_folder(tmp_path):
    """A run folder holding only vasprun.xml.gz."""
    with gzip.open(tmp_path / "vasprun.xml.gz", "wb") as f:
        f.write(text(AL))
    return tmp_path


def test_folder_with_only_vasprun_gz(run_folder):
    dos = pdsplit.read(run_folder)
    assert (dos.source, dos.format, dos.compression) == ("vasprun.xml.gz", "vasprun", "gzip")
    np.testing.assert_array_equal(dos.pdos, pdsplit.read(VASPRUN / AL).pdos)
    shutil.copy(DATA / "nonspin-lm-4atoms-nedos10.DOSCAR", run_folder / "DOSCAR")
    assert pdsplit.read(run_folder).source == "DOSCAR"
    from_xml = pdsplit.read(run_folder, source="vasprun")
    assert from_xml.source == "vasprun.xml.gz"
    # Without an EIGENVAL, the DOSCAR's band edges are the vasprun.xml's.
    edges = from_xml.eigenvalue_band_properties
    assert pdsplit.read(run_folder).eigenvalue_band_properties == edges
    assert pdsplit.read(run_folder, eigenvalues=True).eigenvalue_band_properties == edges
    with pytest.raises(FileNotFoundError, match="vaspout.h5"):
        pdsplit.read(run_folder, source="vaspout")


def test_eigenval_beside_doscar(run_folder):
    """EIGENVAL of VASP's layout written from the Ce sample's eigenvalues:
    the band edges are those of pymatgen's Eigenval of the same file."""
    outputs = pytest.importorskip("pymatgen.io.vasp.outputs", reason="pymatgen is not installed")
    from pymatgen.electronic_structure.core import Spin

    run = pymatgen_run("spin-lm-f-Ce1.vasprun.xml.bz2", run_folder)
    up, down = np.array(run.eigenvalues[Spin.up]), np.array(run.eigenvalues[Spin.down])
    nk, nb = up.shape[:2]
    out = ["    1    1    1    2\n", "\n", "\n", "  CAR\n", " unknown\n", f"  12  {nk}  {nb}\n"]
    for k in range(nk):
        out.append(f"\n  0.0  0.0  0.0  {1 / nk:.7E}\n")
        out += [f"{b + 1:5d} {up[k, b, 0]:12.6f} {down[k, b, 0]:12.6f} {up[k, b, 1]:9.6f}"
                f" {down[k, b, 1]:9.6f}\n" for b in range(nb)]
    (run_folder / "EIGENVAL").write_text("".join(out))
    shutil.copy(DATA / "spin-l-1atom.DOSCAR", run_folder / "DOSCAR")
    expected = tuple(outputs.Eigenval(str(run_folder / "EIGENVAL")).eigenvalue_band_properties)
    assert pdsplit.read(run_folder).eigenvalue_band_properties == expected
    assert pdsplit.read(run_folder, eigenvalues=True).eigenvalue_band_properties == expected


# read() arguments on a vasprun.xml: atoms kept, the total block only, the
# file as a stream; refusals as for a DOSCAR.
OPTIONS = {
    "atoms=[3, 1]": (dict(atoms=[3, 1]), (1, 3)),
    "atoms=[]": (dict(atoms=[]), ()),
    "file object": ("stream", (1, 2, 3, 4)),
    "atom 5": (dict(atoms=[5]), "atom-not-in-file"),
}


@pytest.mark.parametrize("case", OPTIONS)
def test_read_options(case):
    keywords, expected = OPTIONS[case]
    whole = pdsplit.read(VASPRUN / AL)
    if isinstance(expected, str):
        with pytest.raises(pdsplit.DoscarError) as e:
            pdsplit.read(VASPRUN / AL, **keywords)
        assert e.value.cause == expected
        return
    if keywords == "stream":
        with open(VASPRUN / AL, "rb") as f:
            dos = pdsplit.read(f)
    else:
        dos = pdsplit.read(VASPRUN / AL, **keywords)
    assert dos.atoms == expected and dos.natoms == 4
    np.testing.assert_array_equal(dos.total, whole.total)
    for atom in expected:
        np.testing.assert_array_equal(dos.atom(atom), whole.atom(atom))


def test_total_only_file_has_no_pdos():
    lines = lines_of(text(AL))
    data = "".join(lines[: line_with(lines, "<partial>")] + ["  </dos>\n"]).encode()
    dos = pdsplit.read(data)
    assert (dos.has_pdos, dos.projection, dos.natoms) == (False, None, 4)
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(data, atoms=[1])
    assert (e.value.number, e.value.cause) == (24, "no-pdos")
