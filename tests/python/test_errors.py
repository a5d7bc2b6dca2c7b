"""Errors of pdsplit.read: each damaged DOSCAR gives DoscarError with the
command line's exit status for the same file, and the line (and field) of
the damage; files that cannot be opened give the OSError of their errno."""
import os

import pytest

import pdsplit
from conftest import DATA

EIGHT = "nonspin-lm-8atoms.DOSCAR"  # 301 points: atom 8's block is lines 2422-2723
FOUR = "nonspin-lm-4atoms-nedos10.DOSCAR"  # 10 points: atom 1's data from line 18


def sample(name):
    return (DATA / name).read_text()


def cut(text, lines):
    return "".join(text.splitlines(keepends=True)[:lines])


def replaced(text, line, first, last, field):
    """The text with columns first-last of a line (from 1) replaced."""
    lines = text.splitlines(keepends=True)
    l = lines[line - 1]
    lines[line - 1] = l[: first - 1] + field + l[last:]
    return "".join(lines)


def more_values(text, line, n):
    lines = text.splitlines(keepends=True)
    lines[line - 1] = lines[line - 1].rstrip("\n") + "  0.1000E+01" * n + "\n"
    return "".join(lines)


# name: (DOSCAR text, option the command line runs, line, columns, words of the message)
DAMAGED = {
    "cut inside a block": (cut(sample(EIGHT), 2710), "-a", 2710, None,
                           "ends at line 2710, inside the block of atom 8 (a complete file has 2723 lines)"),
    "cut after the total block": (cut(sample(FOUR), 16), "-t", 16, None, "inside the block of atom 1"),
    "empty": ("", "-t", None, None, "is empty"),
    "malformed value": (replaced(sample(FOUR), 8, 12, 23, "  0.14x0E+00"), "-t", 8, (12, 23),
                        "line 8, columns 12-23: '0.14x0E+00' is not a number (in the total block)"),
    "malformed atom value": (replaced(sample(FOUR), 30, 36, 47, " -0.1e-0x+00"), "-a", 30, (36, 47),
                             "'-0.1e-0x+00' is not a number (in the block of atom 2)"),
    "malformed Fermi level": (replaced(sample(FOUR), 6, 38, 53, "  7.29.82275    "), "-t", 6,
                              (38, 53), "line 6, columns 38-53"),
    "unknown per-atom columns": (more_values(sample(FOUR), 18, 3), "-t", 18, None, "12 value fields"),
    # The blocks are read in parts: the fault first in the file is reported.
    "two faults": (cut(replaced(sample(EIGHT), 320, 24, 35, "       1.2.3"), 2710), "-a", 320,
                   (24, 35), "'1.2.3' is not a number (in the block of atom 1)"),
}


@pytest.mark.parametrize("case", DAMAGED)
def test_damaged_doscar(tmp_path, cli, case):
    text, option, line, columns, words = DAMAGED[case]
    status, _ = cli(tmp_path, text, option)
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(tmp_path / "DOSCAR")
    assert (e.value.number, e.value.line, e.value.columns) == (status, line, columns)
    assert e.value.path == str(tmp_path / "DOSCAR")
    assert words in str(e.value)


def test_unknown_per_atom_columns_leave_the_total_block(tmp_path):
    (tmp_path / "DOSCAR").write_text(more_values(sample(FOUR), 18, 3))
    d = pdsplit.read(tmp_path, atoms=[])
    assert d.total.shape == (10, 3) and d.projection is None


def test_an_atom_not_in_the_file():
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(DATA / FOUR, atoms=[2, 5])
    assert e.value.number == 1 and "atom 5" in str(e.value)


def test_files_that_cannot_be_opened(tmp_path):
    with pytest.raises(FileNotFoundError):
        pdsplit.read(tmp_path / "missing")
    with pytest.raises(FileNotFoundError):
        pdsplit.read(tmp_path)  # a folder without DOSCAR


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files without read permission")
def test_an_unreadable_file(tmp_path):
    path = tmp_path / "DOSCAR"
    path.write_text(sample(FOUR))
    path.chmod(0)
    with pytest.raises(PermissionError):
        pdsplit.read(path)
