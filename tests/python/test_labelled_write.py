"""pdsplit.write with a header line naming the columns, and its argument
errors in one line."""
import numpy as np
import pytest

import pdsplit

BLOCK = np.array([[-1.5, 1.0, 2.5e-5], [0.25, 3.0, -4.0]])


def written(path, **keywords):
    pdsplit.write(path, BLOCK, **keywords)
    return path.read_bytes()


# header -> its line: right-aligned over the 11-character energy field and
# the 12-character value fields; a longer name moves the rest to the right
HEADERS = [
    (("energy", "O(p)_up", "O(p)_down"), b"#    energy     O(p)_up   O(p)_down\n"),
    (["E", "0123456789a", "x"], b"#         E 0123456789a           x\n"),
    (("E-E_F(eV)_x", "Fe(t2g,eg)_down", "x"), b"#E-E_F(eV)_x Fe(t2g,eg)_down           x\n"),
]


@pytest.mark.parametrize("header, line", HEADERS)
def test_header_line_then_the_same_data_lines(tmp_path, header, line):
    plain = written(tmp_path / "plain", shift=0.5)
    assert written(tmp_path / "labelled", shift=0.5, header=header) == line + plain


# keywords -> exception and its whole message (one line, no array in it)
REFUSED = [
    ({"shift": "4.3"}, TypeError, "write(): shift must be a real number, not str"),
    ({"shift": None}, TypeError, "write(): shift must be a real number, not NoneType"),
    ({"shift": 1j}, TypeError, "write(): shift must be a real number, not complex"),
    ({"header": "energy a b"}, TypeError,
     "write(): header must be a sequence of column names (str), not str"),
    ({"header": ["energy", 1, 2]}, TypeError, "write(): header names are str, not int"),
    ({"header": ["energy", "a"]}, ValueError,
     "the header names 2 columns; the block has 3 (the energy included)"),
    ({"header": ["energy", "a b", "c"]}, ValueError,
     'column name "a b": a name is one word without blanks or control characters'),
]


@pytest.mark.parametrize("keywords, error, message", REFUSED)
def test_refused_arguments(tmp_path, keywords, error, message):
    with pytest.raises(error) as raised:
        pdsplit.write(tmp_path / "x", BLOCK, **keywords)
    assert str(raised.value) == message


@pytest.mark.parametrize("shift", [np.float32(0.5), np.float64(0.5), 2, np.int64(2), True])
def test_any_real_number_shifts(tmp_path, shift):
    assert written(tmp_path / "a", shift=shift) == written(tmp_path / "b", shift=float(shift))
