"""pdsplit.read on the DOSCARs that workflows leave besides the plain ones:
compressed files, pipes, data and file objects, non-collinear runs (and
the INCAR that tells a 16-value line's kind), files without projected DOS
and with further total blocks, headers that claim more than the data."""
import bz2
import gzip
import io
import lzma
import os
import threading
import zlib

import numpy as np
import pytest

import pdsplit
from conftest import DATA

EIGHT = DATA / "nonspin-lm-8atoms.DOSCAR"
NONCOLLINEAR = DATA / "library" / "noncollinear-lm-2atoms.DOSCAR"


def same(a, b):
    """Equal values and equal signs (array_equal cannot see -0.0)."""
    return a.shape == b.shape and np.array_equal(a, b) and np.array_equal(np.signbit(a), np.signbit(b))


def value(a, j, k):
    return ((a * 7 + j * 3 + k) % 23 - 11) * 0.0123


def craft(natoms, npoints, values, wrap=False, flag=1, totals=1):
    """A DOSCAR of `values` per grid point per atom (36 then 28 on two lines
    when wrapped, the continuation's first value written like an energy),
    and the arrays it holds: ([total blocks], pdos)."""
    line6 = lambda ef: f"{10.0:16.8f}{-10.0:16.8f}{npoints:5d}{ef:16.8f}{1.0:16.8f}\n"
    text = [f"{natoms:4d}{natoms:4d}{flag:4d}   0\n", "  0.1E+02\n", "  1.0E-004\n", "  CAR \n",
            " crafted\n", line6(1.5)]
    expected_totals, atoms = [], []
    for t in range(totals):
        if t:
            text.append(line6(1.5 + t))
        rows = [[-10.0 + j] + [float(f"{value(t, j, k):12.4E}") for k in (1, 2)] for j in range(npoints)]
        text += [f"{r[0]:11.3f}{r[1]:12.4E}{r[2]:12.4E}\n" for r in rows]
        expected_totals.append(rows)
    for a in range(1, natoms + 1 if flag else 1):
        text.append(line6(1.5))
        block = []
        for j in range(npoints):
            row = [-10.0 + j] + [float(f"{value(a, j, k):12.4E}") for k in range(values)]
            if wrap:
                row[37] = float(f"{value(a, j, 36):11.3f}")
                text.append(f"{row[0]:11.3f}" + "".join(f"{v:12.4E}" for v in row[1:37]) + "\n")
                text.append(f"{row[37]:11.3f}" + "".join(f"{v:12.4E}" for v in row[38:]) + "\n")
            else:
                text.append(f"{row[0]:11.3f}" + "".join(f"{v:12.4E}" for v in row[1:]) + "\n")
            block.append(row)
        atoms.append(block)
    return "".join(text), [np.array(t) for t in expected_totals], np.array(atoms).reshape(
        len(atoms), npoints, values + 1)


# name: (values, wrapped, INCAR text or None, noncollinear=, expected:
#        (projection, f orbitals, non-collinear) or the DoscarError number)
KINDS = {
    "12 values": (12, False, None, None, ("l", False, True)),
    "36 values": (36, False, None, None, ("lm", False, True)),
    "64 values on two lines": (64, True, None, None, ("lm", True, True)),
    "16 values, no INCAR": (16, False, None, None, 1),
    "16 values, noncollinear=True": (16, False, None, True, ("l", True, True)),
    "16 values, noncollinear=False": (16, False, None, False, ("lm", True, False)),
    "16 values, INCAR LSORBIT = .TRUE.": (16, False, "LSORBIT = .TRUE.\n", None, ("l", True, True)),
    "16 values, INCAR lnoncollinear=t": (16, False, "ENCUT = 400\n  lnoncollinear=t ! SOC\n", None,
                                         ("l", True, True)),
    "16 values, INCAR tags on one line": (16, False, "ISPIN = 2; LSORBIT = .T.\n", None, ("l", True, True)),
    "16 values, INCAR commented out": (16, False, "# LSORBIT = .TRUE.\nLSORBIT = F # T\n", None,
                                       ("lm", True, False)),
    "16 values, INCAR without the tags": (16, False, "ISPIN = 1\n", None, ("lm", True, False)),
    "16 values, INCAR LSORBIT, then other tags": (16, False, "LSORBIT = .TRUE.\nISPIN = 1\nMAGMOM = 6*0\n",
                                                  None, ("l", True, True)),
    # the option decides 16 values only: every other count tells by itself
    "12 values, noncollinear=False": (12, False, None, False, ("l", False, True)),
    "36 values, noncollinear=False": (36, False, None, False, ("lm", False, True)),
    "64 values, noncollinear=False": (64, True, None, False, ("lm", True, True)),
    "9 values, noncollinear=True": (9, False, None, True, ("lm", False, False)),
}


@pytest.mark.parametrize("case", KINDS)
def test_per_atom_kinds(tmp_path, case):
    values, wrap, incar, noncollinear, expected = KINDS[case]
    text, totals, pdos = craft(2, 3, values, wrap)
    (tmp_path / "DOSCAR").write_text(text)
    if incar is not None:
        (tmp_path / "INCAR").write_text(incar)
    if isinstance(expected, int):
        with pytest.raises(pdsplit.DoscarError) as e:
            pdsplit.read(tmp_path, noncollinear=noncollinear)
        assert (e.value.number, e.value.line) == (expected, 11)  # atom 1's first data line
        assert ("noncollinear=" in str(e.value)) == (values == 16 or noncollinear is not None)
        return
    d = pdsplit.read(tmp_path, noncollinear=noncollinear)
    assert (d.projection, d.f_orbitals, d.noncollinear, d.spin) == expected + (False,)
    assert len(d.atom_columns) == values and d.total_columns == ("dos", "int")
    if d.noncollinear:
        assert d.atom_columns[:5] == ("s", "s_mx", "s_my", "s_mz", "p" if d.projection == "l" else "py")
    assert same(d.total, totals[0]) and same(d.pdos, pdos)
    assert same(d.sum([1, 2]), np.column_stack([pdos[0, :, 0], pdos[0, :, 1:] + pdos[1, :, 1:]]))


def test_real_noncollinear_file():
    d = pdsplit.read(NONCOLLINEAR)
    lines = NONCOLLINEAR.read_text().splitlines()
    first = lines[6 + 301 + 1]
    assert (d.noncollinear, d.projection, d.pdos.shape) == (True, "lm", (2, 301, 37))
    assert list(d.atom(1)[0]) == [float(first[:11])] + [float(first[11 + 12 * k: 23 + 12 * k]) for k in range(36)]


def test_wrapped_file_cut_inside_a_continuation_line(tmp_path):
    text, _, _ = craft(2, 3, 64, wrap=True)
    (tmp_path / "DOSCAR").write_text("".join(text.splitlines(keepends=True)[:20]))
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(tmp_path)
    # atom 1: lines 10-16, atom 2: lines 17-23 (two lines per grid point)
    assert (e.value.number, e.value.line) == (24, 20)
    assert "inside the block of atom 2 (a complete file has 23 lines)" in str(e.value)


def gzip2(data):
    half = len(data) // 2
    return gzip.compress(data[:half]) + gzip.compress(data[half:])


COMPRESSORS = {"gzip": gzip.compress, "gzip, two members": gzip2, "xz": lzma.compress,
               "bzip2": bz2.compress}


@pytest.mark.parametrize("kind", COMPRESSORS)
def test_compressed_files(tmp_path, kind):
    plain = pdsplit.read(EIGHT)
    data = COMPRESSORS[kind](EIGHT.read_bytes())
    suffix = {"gzip": ".gz", "xz": ".xz", "bzip2": ".bz2"}[kind.split(",")[0]]
    (tmp_path / ("DOSCAR" + suffix)).write_bytes(data)
    (tmp_path / "other-name").write_bytes(data)
    for source in (tmp_path, tmp_path / "other-name", data):
        d = pdsplit.read(source)
        assert d.compression == kind.split(",")[0]
        assert same(d.total, plain.total) and same(d.pdos, plain.pdos)
    assert pdsplit.read(tmp_path).path == str(tmp_path / ("DOSCAR" + suffix))
    cut = data[: len(data) // 2]
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(cut)
    assert e.value.number == 24 and "data ends early, at line" in str(e.value)
    assert 1 <= e.value.line < 2723  # bzip2 hands out whole blocks of 900 kB
    # damaged where the decompressor itself notices: the first deflate block's
    # type, the xz stream header's check, the bzip2 block's check
    damaged = bytearray(data)
    first = {"gzip": 10, "xz": 8, "bzip2": 10}[kind.split(",")[0]]
    damaged[first : first + 4] = b"\xff\xff\xff\xff"
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(bytes(damaged))
    assert e.value.number == 64 and "corrupt" in str(e.value)


def flipped_inside(data, text):
    """gzip data with one bit flipped in its deflate data where inflate still
    runs through but gives text with a field that is not a number: only the
    CRC at the end tells that the data, not the file, is damaged."""
    for at in range(len(data) // 2, len(data) - 8):
        damaged = bytearray(data)
        damaged[at] ^= 0x10
        try:
            out = zlib.decompressobj(-15).decompress(bytes(damaged[10:-8]))
            pdsplit.read(out)
        except zlib.error:
            continue
        except pdsplit.DoscarError as e:
            if e.columns:
                return bytes(damaged)
    raise AssertionError("no such bit")


def xz_check_flipped(data):
    """xz data with one bit flipped in the block's CRC64, the 8 bytes before
    the index (whose size the stream footer gives)."""
    index = len(data) - 12 - (int.from_bytes(data[-8:-4], "little") + 1) * 4
    return data[: index - 1] + bytes([data[index - 1] ^ 1]) + data[index:]


def trailer_flipped(data):
    return data[:-8] + bytes([data[-8] ^ 1]) + data[-7:]


HEAD = "".join(EIGHT.read_text().splitlines(keepends=True)[:7])
# compressed DOSCAR data -> (number, line or None: any, words of the message)
COMPRESSED_FAULTS = {
    "gzip, a bit flipped in the data": (lambda t: flipped_inside(gzip.compress(t, mtime=0), t), 64, None,
                                        "the gzip data is corrupt (incorrect data check), at line"),
    "gzip, its CRC wrong": (lambda t: trailer_flipped(gzip.compress(t)), 64, 2724,
                            "the gzip data is corrupt (incorrect data check), after the last line of "
                            "its text (line 2723)"),
    "xz, its block check wrong": (lambda t: xz_check_flipped(lzma.compress(t)), 64, 2724,
                                  "the xz data is corrupt, after the last line of its text"),
    "gzip cut at half": (lambda t: gzip.compress(t)[: len(gzip.compress(t)) // 2], 24, None,
                         "the gzip data ends early, at line"),
    "gzip of line feeds after line 7": (lambda t: gzip.compress(HEAD.encode() + b"\n" * 10**7), 24, 8,
                                        ": line 8 is blank, inside the total block"),
}


@pytest.mark.parametrize("case", COMPRESSED_FAULTS)
def test_damaged_compressed_files(tmp_path, case):
    make, number, line, words = COMPRESSED_FAULTS[case]
    (tmp_path / "DOSCAR.gz").write_bytes(make(EIGHT.read_bytes()))
    for source in (tmp_path, (tmp_path / "DOSCAR.gz").read_bytes()):
        with pytest.raises(pdsplit.DoscarError) as e:
            pdsplit.read(source)
        assert (e.value.number, e.value.columns) == (number, None)
        assert e.value.line is not None  # the line where the text failed is never lost
        assert e.value.line == line or (line is None and 1000 < e.value.line < 2723)
        if line is None:
            assert f"at line {e.value.line} of its text" in str(e.value)
        assert words in str(e.value) and "atom 9" not in str(e.value)


@pytest.mark.parametrize("structure", ["POSCAR", "CONTCAR.gz with a wrong CRC"])
def test_reading_a_folder_again_and_again_leaves_no_file_open(tmp_path, structure):
    (tmp_path / "DOSCAR").write_bytes(EIGHT.read_bytes())
    text = (DATA / "nonspin-lm-8atoms.POSCAR").read_bytes()
    if structure == "POSCAR":
        (tmp_path / "POSCAR").write_bytes(text)
    else:
        (tmp_path / "CONTCAR.gz").write_bytes(trailer_flipped(gzip.compress(text)))
    (tmp_path / "INCAR").write_text("ISPIN = 1\n")
    open_files = len(os.listdir("/proc/self/fd"))
    for _ in range(20):
        d = pdsplit.read(tmp_path)
        assert d.symbols == (("Ti",) * 4 + ("O",) * 4 if structure == "POSCAR" else None)
    assert len(os.listdir("/proc/self/fd")) == open_files


def test_a_folder_without_any_doscar(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        pdsplit.read(tmp_path)
    assert "none of DOSCAR, DOSCAR.gz, DOSCAR.xz, DOSCAR.bz2" in str(e.value)


def fifo(tmp_path, data):
    path = tmp_path / "fifo"
    os.mkfifo(path)

    def write():
        with open(path, "wb") as f:
            f.write(data)

    threading.Thread(target=write, daemon=True).start()
    return path


# the source made of the tmp folder and the file's bytes
STREAMS = {
    "bytes": lambda tmp, data: data,
    "bytearray": lambda tmp, data: bytearray(data),
    "memoryview": lambda tmp, data: memoryview(data),
    "BytesIO": lambda tmp, data: io.BytesIO(data),
    "FIFO": fifo,
    "gzip in a FIFO": lambda tmp, data: fifo(tmp, gzip.compress(data)),
    "xz in a file object": lambda tmp, data: io.BytesIO(lzma.compress(data)),
}


@pytest.mark.parametrize("kind", STREAMS)
def test_streams_read_in_one_pass(tmp_path, kind):
    plain = pdsplit.read(EIGHT, atoms=[1, 8])
    d = pdsplit.read(STREAMS[kind](tmp_path, EIGHT.read_bytes()), atoms=[1, 8])
    assert same(d.total, plain.total) and same(d.pdos, plain.pdos)
    assert same(d.sum([8, 1]), plain.sum([8, 1]))


def test_a_memoryview_with_steps_is_refused():
    with pytest.raises(BufferError):
        pdsplit.read(memoryview(EIGHT.read_bytes())[::-1])


# line 1 and line 6 of a crafted file with per-atom blocks -> read's outcome
# (the number of atom blocks read, or the DoscarError number)
DEGENERATE = {
    "no atoms": (("   0   0   1   0", None), 0),
    "no grid points": ((None, 0), 1),
}


@pytest.mark.parametrize("case", DEGENERATE)
def test_degenerate_headers(tmp_path, case):
    (line1, points), expected = DEGENERATE[case]
    lines = craft(1, 3, 9)[0].splitlines(keepends=True)[:9]
    if line1:
        lines[0] = line1 + "\n"
    if points is not None:
        lines[5] = lines[5][:32] + f"{points:5d}" + lines[5][37:]
    (tmp_path / "DOSCAR").write_text("".join(lines))
    if expected:
        with pytest.raises(pdsplit.DoscarError) as e:
            pdsplit.read(tmp_path)
        assert (e.value.number, e.value.line) == (expected, 6)
    else:
        assert pdsplit.read(tmp_path).pdos.shape == (0, 3, 1)


@pytest.mark.parametrize("as_data", [False, True])
def test_a_header_that_claims_too_much(tmp_path, as_data):
    lines = EIGHT.read_text().splitlines(keepends=True)
    lines[0] = "9999" + lines[0][4:]
    lines[5] = lines[5][:32] + "99999" + lines[5][37:]
    text = "".join(lines[:1000]).encode()
    (tmp_path / "DOSCAR").write_bytes(text)
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(text if as_data else tmp_path / "DOSCAR")
    assert (e.value.number, e.value.line) == (24, 1000)  # where the file ends
    assert "ends at line 1000, inside the total block" in str(e.value)


def test_without_projected_dos(tmp_path):
    text, totals, _ = craft(3, 4, 9, flag=0, totals=2)
    (tmp_path / "DOSCAR").write_text(text)
    d = pdsplit.read(tmp_path)
    assert (d.has_pdos, d.pdos.shape, d.natoms, d.efermis) == (False, (0, 4, 1), 3, (1.5, 2.5))
    assert len(d.totals) == 2 and same(d.totals[0], totals[0]) and same(d.totals[1], totals[1])
    (tmp_path / "cut").write_text("".join(text.splitlines(keepends=True)[:13]))
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(tmp_path / "cut")
    assert str(e.value).endswith("ends at line 13, inside the total block: the file is cut short "
                                 "(a run or a copy that did not finish)")
    assert d.total is d.totals[0] or same(d.total, d.totals[0])
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(tmp_path, atoms=[1])
    assert e.value.number == 24 and "no projected DOS" in str(e.value) and "LORBIT" in str(e.value)
    # line 1 announcing per-atom blocks that are not there: cut short
    text, _, _ = craft(3, 4, 9, flag=1)
    (tmp_path / "DOSCAR").write_text("".join(text.splitlines(keepends=True)[:10]))
    with pytest.raises(pdsplit.DoscarError) as e:
        pdsplit.read(tmp_path)
    assert e.value.number == 24 and "inside the block of atom 1" in str(e.value)
