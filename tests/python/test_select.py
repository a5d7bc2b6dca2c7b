"""Doscar.select by element, atom numbers and orbitals against numpy sums
of the named columns, on every kind of file; the structure that names the
elements, found beside the DOSCAR or given; the errors of selections."""
import bz2
import gzip
import lzma
import re
import time

import numpy as np
import pytest

import pdsplit
from conftest import DATA

EIGHT = DATA / "nonspin-lm-8atoms.DOSCAR"
NONCOLLINEAR = DATA / "library" / "noncollinear-lm-2atoms.DOSCAR"
TI4O4 = ["Ti"] * 4 + ["O"] * 4
P, D = ["py", "pz", "px"], ["dxy", "dyz", "dz2", "dxz", "x2-y2"]
F = ["fy3x2", "fxyz", "fyz2", "fz3", "fxz2", "fzx2", "fx3"]


def crafted(folder, natoms, values, spin, pdos=True):
    """A DOSCAR of 3 grid points with `values` per atom line; without pdos,
    only the total block, line 1 saying so (a run without LORBIT)."""
    ntcol = 4 if spin else 2
    row = lambda e, n, seed: f"{e:11.3f}" + "".join(
        f"{((seed * 7 + k * 5) % 19 + 1) * 0.0123:12.4E}" for k in range(n)) + "\n"
    line6 = f"{10.0:16.8f}{-10.0:16.8f}{3:5d}{1.5:16.8f}{1.0:16.8f}\n"
    text = [f"{natoms:4d}{natoms:4d}{int(pdos):4d}   0\n", "x\n", "x\n", "  CAR\n", " crafted\n",
            line6]
    text += [row(e, ntcol, e) for e in range(3)]
    for a in range(1, natoms + 1 if pdos else 1):
        text += [line6] + [row(e, values, a * 3 + e) for e in range(3)]
    folder.mkdir(exist_ok=True)
    (folder / "DOSCAR").write_text("".join(text))
    return folder / "DOSCAR"


# file (sample or (atoms, values, spin) crafted), read() keywords, selection,
# atoms (None: total), orbitals
CASES = [
    (EIGHT, {}, "2-4,7(t2g)", [2, 3, 4, 7], ["dxy", "dyz", "dxz"]),
    (EIGHT, {}, "1-8", range(1, 9), ["s"] + P + D),
    (EIGHT, {"structure": TI4O4}, "O(s,p)", [5, 6, 7, 8], ["s"] + P),
    (EIGHT, {}, "total", None, None),
    (DATA / "nonspin-lm-4atoms-nedos10.DOSCAR", {}, "4,1(p)", [1, 4], P),
    (DATA / "spin-l-1atom.DOSCAR", {}, "1(d,p)", [1], ["p", "d"]),
    (DATA / "spin-l-1atom.DOSCAR", {}, "total", None, None),
    (DATA / "spin-lm-57atoms.DOSCAR", {}, "1-57(eg)", range(1, 58), ["dz2", "x2-y2"]),
    ((2, 4, False), {}, "1-2(f)", [1, 2], ["f"]),
    ((2, 8, True), {}, "2(s,f)", [2], ["s", "f"]),
    ((2, 16, False), {"noncollinear": False}, "2(f,s)", [2], ["s"] + F),
    ((2, 32, True), {}, "1-2(d,fz3)", [1, 2], D + ["fz3"]),
    (NONCOLLINEAR, {}, "1-2(p)", [1, 2], P),
    (NONCOLLINEAR, {}, "1-2", [1, 2], ["s"] + P + D),
    (DATA / "spin-lm-57atoms.DOSCAR", {}, "50-57", range(50, 58), ["s"] + P + D),
    (NONCOLLINEAR, {}, "total", None, None),
]


@pytest.mark.parametrize("case", CASES, ids=[f"{getattr(c[0], 'stem', c[0])}:{c[2]}"
                                             for c in CASES])
def test_select_adds_the_named_columns_in_one_order(tmp_path, case):
    source, keywords, selection, atoms, orbitals = case
    if isinstance(source, tuple):
        source = crafted(tmp_path, *source)
    dos = pdsplit.read(source, **keywords)
    suffixes = ["", "_mx", "_my", "_mz"] if dos.noncollinear else (
        ["_up", "_down"] if dos.spin else [""])
    if atoms is None:  # the total block's DOS columns: dos, or up and down
        suffixes = suffixes[:2] if dos.spin else [""]
        blocks, names, orbitals = [dos.total], dos.total_columns, [""]
        columns = ["up", "down"] if dos.spin else ["dos"]
    else:
        blocks, names = [dos.atom(a) for a in atoms], dos.atom_columns
        columns = suffixes
    want = [blocks[0][:, 0] if atoms is None else dos.atom(1)[:, 0]]
    for column in columns:
        total = np.zeros(dos.npoints)
        for block in blocks:
            for orbital in orbitals:
                total += block[:, 1 + names.index(orbital + column)]
        want.append(total)
    got = dos.select(selection)
    assert np.array_equal(got, np.column_stack(want))
    assert dos.select_columns(selection) == tuple(selection + s for s in suffixes)
    if atoms is not None and "(" not in selection:
        # whole atoms, one orbital column at a time: dos.sum's columns to the bit
        whole = dos.sum(sorted(atoms))
        bases = [n[: len(n) - len(suffixes[0]) or None] for n in names if n.endswith(suffixes[0])]
        for base in (b for b in bases if "_" not in b):
            one = dos.select(f"{selection}({base})")
            for c, suffix in enumerate(suffixes, start=1):
                assert np.array_equal(one[:, c], whole[:, 1 + names.index(base + suffix)]), base


def poscar(species, counts):
    """A structure file: VASP 5 with a line of species, VASP 4 without."""
    head = "cell\n1.0\n 5 0 0\n 0 5 0\n 0 0 5\n" + (f"{species}\n" if species else "")
    n = sum(int(c) for c in counts.split())
    return head + f"{counts}\nDirect\n" + " 0.1 0.2 0.3\n" * n


TITEL = "  TITEL  = PAW_PBE {} 06Sep2000\n  POMASS =  55.847; ZVAL = 8.0\n"
# files beside a DOSCAR of 3 atoms -> symbols, or (the error of naming an
# element, its text)
STRUCTURES = {
    "VASP 5": ({"POSCAR": poscar("Ti O", "1 2")}, ("Ti", "O", "O")),
    "empty CONTCAR skipped": ({"CONTCAR": "", "POSCAR": poscar("Ti O", "1 2")}, ("Ti", "O", "O")),
    "CONTCAR first": ({"CONTCAR": poscar("Fe O", "2 1"), "POSCAR": poscar("Ti O", "1 2")},
                      ("Fe", "Fe", "O")),
    "gzip, hashes": ({"CONTCAR.gz": gzip.compress(poscar("Ti/8a3b O/77c", "1 2").encode())},
                     ("Ti", "O", "O")),
    "xz, suffix": ({"POSCAR.xz": lzma.compress(poscar("Ti_sv O", "2 1").encode())},
                   ("Ti", "Ti", "O")),
    "bzip2": ({"POSCAR.bz2": bz2.compress(poscar("Fe", "3").encode())}, ("Fe",) * 3),
    "VASP 4, TITEL": ({"POSCAR": poscar("", "1 2"),
                       "POTCAR": TITEL.format("Ti_sv_GW") + TITEL.format("O")}, ("Ti", "O", "O")),
    "VASP 4, VRHFIN": ({"POSCAR": poscar("", "2 1"),
                        "POTCAR": " VRHFIN =Fe: d7 s1\n VRHFIN =O: s2p4\n"}, ("Fe", "Fe", "O")),
    "none": ({}, (ValueError, "there is no CONTCAR or POSCAR beside .*DOSCAR. Give read")),
    "VASP 4 alone": ({"POSCAR": poscar("", "1 2")}, (pdsplit.DoscarError, (
        r'"O" names an element.*: the structure file beside the DOSCAR cannot be used: '
        r"\S*/POSCAR: line 6: "
        r"atom counts without element symbols \(VASP 4 layout\), and no POTCAR beside it.*"
        r"structure=.* a list of symbols.*POTCAR beside.*atom numbers"))),
    "POTCAR short": ({"POSCAR": poscar("", "1 2"), "POTCAR": TITEL.format("Ti")},
                     (pdsplit.DoscarError, "2 atom counts, but")),
    "count": ({"POSCAR": poscar("Ti O", "2 2")}, (pdsplit.DoscarError, "has 4 atoms, ")),
    "species": ({"POSCAR": poscar("Ti O", "3")}, (pdsplit.DoscarError, "line 7: 1 atom count")),
    "symbol": ({"POSCAR": poscar("Ti 0x", "3")}, (pdsplit.DoscarError, '"0x" is not an element')),
    "short": ({"POSCAR": "cell\n1.0\n"}, (pdsplit.DoscarError, "ends at line 2")),
    # read to its end: the CRC after line 7 checked
    "gzip, CRC wrong": ({"POSCAR.gz": (lambda z: z[:-8] + bytes([z[-8] ^ 1]) + z[-7:])(
        gzip.compress(poscar("Ti O", "1 2").encode()))}, (pdsplit.DoscarError, "gzip data is corrupt")),
    "more atoms than lines": ({"POSCAR": poscar("Ti", "3").replace("\n3\n", "\n9999999\n")},
                              (pdsplit.DoscarError, "add up to 9999999, but 4 lines follow")),
}


@pytest.mark.parametrize("case", STRUCTURES.values(), ids=STRUCTURES.keys())
def test_structure_beside_the_doscar(tmp_path, case):
    files, want = case
    crafted(tmp_path, 3, 3, False)
    for name, text in files.items():
        (tmp_path / name).write_bytes(text if isinstance(text, bytes) else text.encode())
    dos = pdsplit.read(tmp_path)
    if isinstance(want, tuple) and isinstance(want[0], str):
        assert (dos.symbols, dos.elements) == (want, tuple(dict.fromkeys(want)))
        assert np.array_equal(dos.select(want[0]), dos.select(
            ",".join(str(a) for a in range(1, 4) if want[a - 1] == want[0])))
    else:
        assert dos.symbols is None  # read() needs no structure
        with pytest.raises(want[0], match=want[1]):
            dos.select("O")


def test_structure_given(tmp_path):
    ase = pytest.importorskip("ase", reason="ASE (python3-ase) is not installed")
    crafted(tmp_path, 3, 3, False)
    (tmp_path / "elsewhere").write_text(poscar("Ti O", "1 2"))
    given = [tmp_path / "elsewhere", ["Ti", "O", "O"], ase.Atoms("TiO2")]
    for structure in given:
        assert pdsplit.read(tmp_path, structure=structure).symbols == ("Ti", "O", "O")
    with pytest.raises(pdsplit.DoscarError, match="the structure given has 1 atom, .* has 3"):
        pdsplit.read(tmp_path, structure=["Ti"])
    with pytest.raises(TypeError, match="not int"):
        pdsplit.read(tmp_path, structure=5)


# source, read() keywords, selection -> exception, text
SPIN_L = DATA / "spin-l-1atom.DOSCAR"
ERRORS = [
    (EIGHT, {"structure": TI4O4}, "Xe", ValueError, "element Xe: the structure has Ti, O"),
    (EIGHT, {"structure": TI4O4, "atoms": [1, 5]}, "O", KeyError, "atom 6, which was not kept"),
    (EIGHT, {"atoms": [1, 2]}, "2-3", KeyError, "needs atom 3, which was not kept"),
    (EIGHT, {}, "9", ValueError, "atom 9 is not in the file, which has 8 atoms"),
    (EIGHT, {}, "1(f)", ValueError, "f is not in the file: the file's orbitals are s py pz px"),
    (EIGHT, {}, "O(dx)", ValueError, 'unknown orbital "dx"'),
    (EIGHT, {"structure": TI4O4}, "Ti\x00(d)", ValueError, 'unexpected "\\x00(d)"'),
    (EIGHT, {}, "1(\udcff)", ValueError, 'selection "1(\\xff)": not text'),
    (EIGHT, {}, 5, TypeError, "select(): the selection is a str, not int"),
    (EIGHT, {}, "1-999999," * 1100 + "1", ValueError, "atom 999999 is not in the file"),
    (EIGHT, {}, "1(" + "p,\n" * 5000 + ")", ValueError,
     'selection "1(p,\\np,\\n' + "p,\\n" * 10),
    (EIGHT, {"structure": TI4O4}, "Ti,O,Xe(d)", ValueError, "no atom of element Xe"),
    (EIGHT, {"structure": TI4O4}, "Ti,1", ValueError, "elements and atom numbers do not mix"),
    (EIGHT.read_bytes(), {}, "O", ValueError, "read from data, so no structure file is looked for"),
    (SPIN_L, {}, "1(t2g)", ValueError, "t2g needs l,m-projected columns: the file's"),
]


@pytest.mark.parametrize("case", ERRORS, ids=[repr(c[2])[:24] for c in ERRORS])
def test_selection_errors(case):
    source, keywords, selection, error, text = case
    dos = pdsplit.read(source, **keywords)
    start = time.monotonic()
    with pytest.raises(error, match=re.escape(text)) as e:
        dos.select(selection)
    # a short message, whatever the length of the selection, at once
    assert len(str(e.value)) < 400 and time.monotonic() - start < 2.0


def test_elements_and_all(tmp_path):
    dos = pdsplit.read(EIGHT, structure=TI4O4)
    assert np.array_equal(dos.select("O,Ti(d)"), dos.select("1-8(d)"))
    assert np.array_equal(dos.select("all(p)"), dos.select("Ti , O(p)"))
    assert dos.select_columns("Ti,O(d)") == ("Ti,O(d)",)
    spin = pdsplit.read(DATA / "spin-lm-57atoms.DOSCAR")
    assert np.array_equal(spin.select("all"), spin.select("1-57"))


@pytest.mark.parametrize("selection", ["1", "O(p)", "all(d)"])
def test_a_file_without_projected_dos_says_so(tmp_path, selection):
    crafted(tmp_path, 3, 3, False, pdos=False)
    (tmp_path / "POSCAR").write_text(poscar("Ti O", "1 2"))
    dos = pdsplit.read(tmp_path)
    assert dos.select("total").shape == (3, 2) and not dos.has_pdos
    with pytest.raises(ValueError, match=r"has no projected DOS \(line 1 says so.*LORBIT"):
        dos.select(selection)
