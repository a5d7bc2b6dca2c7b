"""Errors of pdsplit.read: each damaged DOSCAR gives DoscarError with the
command line's exit status for the same file, and the line (and field) of
the damage; files that cannot be opened give the OSError of their errno."""
import os
import pickle
import threading

import numpy as np
import pytest

import pdsplit
from conftest import DATA

EIGHT = "nonspin-lm-8atoms.DOSCAR"  # 301 points: atom 8's block is lines 2422-2723
FOUR = "nonspin-lm-4atoms-nedos10.DOSCAR"  # 10 points: atom k's data lines 7 + 11k to 16 + 11k


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


CUT = ": the file is cut short (a run or a copy that did not finish)"

# name: (DOSCAR text, option the command line runs, line, columns, words of the message;
# words that start with a blank are the whole message after the path)
DAMAGED = {
    "cut inside a block": (cut(sample(EIGHT), 2710), "-a", 2710, None,
                           " ends at line 2710, inside the block of atom 8 (a complete file has 2723 lines)" + CUT),
    "cut after the total block": (cut(sample(FOUR), 16), "-t", 16, None, "inside the block of atom 1"),
    "cut after line 1": (cut(sample(FOUR), 1), "-t", 1, None, " ends at line 1, inside the header (lines 1-6)" + CUT),
    "cut after line 5": (cut(sample(FOUR), 5), "-t", 5, None, " ends at line 5, inside the header (lines 1-6)" + CUT),
    "cut after line 6": (cut(sample(FOUR), 6), "-t", 6, None,
                         " ends at line 6, inside the total block (a complete file has 60 lines)" + CUT),
    "cut after line 7": (cut(sample(FOUR), 7), "-t", 7, None,
                         " ends at line 7, inside the total block (a complete file has 60 lines)" + CUT),
    "cut after line 8": (cut(sample(FOUR), 8), "-t", 8, None,
                         " ends at line 8, inside the total block (a complete file has 60 lines)" + CUT),
    # line 45 without its end: fewer fields and no LF
    "cut inside a line": (cut(sample(FOUR), 45)[:-60], "-a", 45, None,
                          " ends at line 45, inside the block of atom 3 (a complete file has 60 lines)" + CUT),
    "empty": ("", "-t", None, None, " is empty"),
    # a killed job: cut right after the E of a number; the number stays the program's
    "cut after the E of a number": (cut(sample(FOUR), 44) + sample(FOUR).splitlines()[44][:32],
                                    "-a", 45, (24, 35), "ends inside line 45, in the number '-0.2973E' at columns 24-35"),
    "malformed value": (replaced(sample(FOUR), 8, 12, 23, "  0.14x0E+00"), "-t", 8, (12, 23),
                        "line 8, columns 12-23: '0.14x0E+00' is not a number (in the total block)"),
    "malformed atom value": (replaced(sample(FOUR), 30, 36, 47, " -0.1e-0x+00"), "-a", 30, (36, 47),
                             "'-0.1e-0x+00' is not a number (in the block of atom 2)"),
    "malformed Fermi level": (replaced(sample(FOUR), 6, 38, 53, "  7.29.82275    "), "-t", 6,
                              (38, 53), "line 6, columns 38-53"),
    "malformed atom count": (replaced(sample(FOUR), 1, 1, 4, "  x4"), "-t", 1, (1, 4),
                             "line 1, columns 1-4: 'x4' is not a number (in the header)"),
    "malformed grid points": (replaced(sample(FOUR), 6, 33, 37, " 10.0"), "-t", 6, (33, 37),
                              "line 6, columns 33-37: '10.0' is not a number (in the header)"),
    "atom 2's last line": (replaced(sample(FOUR), 38, 12, 23, "  0.1x00E+00"), "-a", 38, (12, 23),
                           "(in the block of atom 2)"),
    "the file's last line": (replaced(sample(FOUR), 60, 108, 119, "  0.1x00E+00"), "-a", 60, (108, 119),
                             "(in the block of atom 4)"),
    "unknown per-atom columns": (more_values(sample(FOUR), 18, 2), "-t", 18, None,
                                 "line 18 has 11 values per grid point, a per-atom column count of no known kind"),
    "no upper-case E (LOBSTER's layout)": (sample(FOUR).replace("E", "e"), "-t", 7, None,
                                           "LOBSTER's DOSCAR.lobster"),
    "100 letters E in line 7": (replaced(sample(FOUR), 7, 12, 111, "E" * 100), "-t", 7, None,
                                "has 102 value fields: this is not a VASP DOSCAR"),
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
    assert (status == 64) == (columns is not None)  # 64: a field that is not a number
    assert e.value.path == str(tmp_path / "DOSCAR")
    if words.startswith(" "):
        assert str(e.value) == e.value.path + words
    else:
        assert words in str(e.value)
    copy = pickle.loads(pickle.dumps(e.value))
    assert (type(copy), str(copy), copy.number, copy.path, copy.line, copy.columns, copy.field) == (
        type(e.value), str(e.value), e.value.number, e.value.path, e.value.line, e.value.columns, e.value.field)


def blanked(text, line):
    lines = text.splitlines(keepends=True)
    lines[line - 1] = "\n"
    return "".join(lines)


# Files the program splits (status 0) but the reader refuses, since VASP
# writes none such: DOSCAR text, option the program runs, number, line, words
STRICTER = {
    "blank line in the total block": (blanked(sample(FOUR), 8), "-t", 24, 8,
                                      ": line 8 is blank, inside the total block, where a data line stands"),
    "blank last line": (blanked(sample(FOUR), 60), "-a", 24, 60, "blank, inside the block of atom 4"),
    "blank lines instead of atom 2's block": (cut(sample(FOUR), 28) + "\n" * 40, "-a", 24, 29,
                                              "blank, inside the block of atom 2"),
    # the program counts the values of line 7 in its first 395 characters: 32
    "101 values in line 7": (more_values(sample(FOUR), 7, 99), "-t", 1, 7,
                             "line 7 has 101 value fields; the total block of a DOSCAR has 2"),
}


@pytest.mark.parametrize("case", STRICTER)
def test_stricter_than_the_program(tmp_path, cli, case):
    text, option, number, line, words = STRICTER[case]
    assert cli(tmp_path, text, option)[0] == 0
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(tmp_path / "DOSCAR")
    assert (e.value.number, e.value.line, e.value.columns) == (number, line, None)
    assert words in str(e.value)


def test_a_stream_of_blank_lines_stops_at_the_first(tmp_path):
    # a header of 9999 atoms x 99999 points, then line feeds without end
    lines = sample(FOUR).splitlines(keepends=True)[:7]
    lines[0] = "9999" + lines[0][4:]
    lines[5] = lines[5][:32] + "99999" + lines[5][37:]
    path = tmp_path / "fifo"
    os.mkfifo(path)

    def write():
        try:
            with open(path, "w") as f:
                f.write("".join(lines))
                while True:
                    f.write("\n" * 65536)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=write, daemon=True)
    writer.start()
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(path)
    assert (e.value.number, e.value.line) == (24, 8)
    writer.join(10)


def test_unknown_per_atom_columns_leave_the_total_block(tmp_path):
    (tmp_path / "DOSCAR").write_text(more_values(sample(FOUR), 18, 2))
    d = pdsplit.read(tmp_path, atoms=[])
    assert d.total.shape == (10, 3) and d.projection is None
    assert d.pdos.shape == (0, 10, 1)


# atoms=: the atom refused, None when all are read, or the type refused
@pytest.mark.parametrize("atoms, refused", [
    ([4], None), ([1, 4], None), ([np.int64(4)], None), ([2, 5], 5), ([0], 0), ([-1], -1),
    ([True], "bool"), ([1.5], "float"), ([np.float64(1.0)], "float64"), (["1"], "str")])
def test_atoms_in_and_out_of_the_file(atoms, refused):
    if refused is None:
        assert pdsplit.read(DATA / FOUR, atoms=atoms).atoms == tuple(atoms)
        return
    if isinstance(refused, str):
        with pytest.raises(TypeError, match=f"atoms must hold integers .*, not {refused}$"):
            pdsplit.read(DATA / FOUR, atoms=atoms)
        return
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(DATA / FOUR, atoms=atoms)
    assert e.value.number == 1 and f"atom {refused} " in str(e.value)


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
