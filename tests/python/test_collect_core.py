"""The per-run core of pdsplit.collect, _core._collect_batch: its descriptors
against pymatgen's on the same run's to_pymatgen() object, the shape of a
row, and the failure rows of runs that cannot be read."""
import gzip
import math
import os
import pickle
import shutil

import numpy as np
import pytest

import pdsplit
from pdsplit import _core
from conftest import DATA

BAND = (-10.0, 10.0)
OPTIONS = {"channels": ["all(s)", "all(p)", "all(d)"], "band_erange": BAND}


def folder_of(name, tmp_path):
    """A run folder: the stored runs as they are, the 8-atom sample with its POSCAR."""
    if name.startswith("runs/"):
        return str(DATA / name)
    shutil.copy(DATA / "nonspin-lm-8atoms.DOSCAR", tmp_path / "DOSCAR")
    shutil.copy(DATA / "nonspin-lm-8atoms.POSCAR", tmp_path / "POSCAR")
    return str(tmp_path)


def same(a, b):
    if a is None or b is None or math.isnan(a) or math.isnan(b):
        return (a is None or math.isnan(a)) and (b is None or math.isnan(b))
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)


# run: spin-polarised, has a gap
RUNS = {
    "runs/al-fcc-nonspin-lm": (False, False),
    "runs/gaas-r2scan-spin-lm": (True, True),
    "ti8": (False, False),
}


@pytest.mark.parametrize("name", RUNS)
def test_descriptors_equal_pymatgens(name, tmp_path):
    pytest.importorskip("pymatgen.electronic_structure.dos", reason="pymatgen is not installed")
    from pymatgen.electronic_structure.core import OrbitalType, Spin

    spin, gapped = RUNS[name]
    folder = folder_of(name, tmp_path)
    cdos = pdsplit.read(folder).to_pymatgen()
    row = _core._collect_batch([folder], OPTIONS)[0]
    assert row["ok"], row
    got = row["descriptors"]
    cbm, vbm = cdos.get_cbm_vbm(tol=0.001)
    assert (got["cbm_pymatgen"], got["vbm_pymatgen"]) == (cbm, vbm)
    assert got["gap_pymatgen"] == cdos.get_gap(tol=0.001)
    if gapped:  # E_F inside the empty points: both rules find them
        assert (got["cbm"], got["vbm"], got["gap"]) == (cbm, vbm, cbm - vbm) and cbm > vbm
    else:  # a metal
        assert got["gap"] == 0 and math.isnan(got["cbm"]) and math.isnan(got["vbm"])
    at_ef = cdos.get_interpolated_value(cdos.efermi)
    if spin:
        assert same(got["dos_ef_up"], at_ef[Spin.up]) and same(got["dos_ef_down"], at_ef[Spin.down])
        assert same(got["spin_polarisation"], cdos.spin_polarization)
    else:  # an unpolarised run's DOS counts half for each spin
        assert same(got["dos_ef_up"] + got["dos_ef_down"], at_ef[Spin.up])
        assert got["magnetic_moment"] == 0.0

    moments = {  # filling: see test_collect.cpp (within band_erange, unlike pymatgen's)
        "band_centre": lambda **k: cdos.get_band_center(erange=list(BAND), **k),
        "band_width": lambda **k: cdos.get_band_width(erange=list(BAND), **k),
        "band_skewness": lambda **k: cdos.get_band_skewness(erange=list(BAND), **k),
        "band_kurtosis": lambda **k: cdos.get_band_kurtosis(erange=list(BAND), **k),
    }
    with np.errstate(invalid="ignore", divide="ignore"):  # pymatgen's 0/0 of an empty band
        for key, pymatgen in moments.items():
            for channel, band in enumerate([OrbitalType.s, OrbitalType.p, OrbitalType.d], 1):
                want = pymatgen(band=band)
                assert same(row["channel_descriptors"][key][channel], want), (key, band)
            for k, element in enumerate(row["elements"]):
                want = pymatgen(band=OrbitalType.d, elements=[element])
                assert same(row["element_descriptors"]["d_" + key][k], want), (key, element)


def test_row_shapes_and_sums():
    folder = str(DATA / "runs/gaas-r2scan-spin-lm")
    row = _core._collect_batch([folder], dict(OPTIONS, grid=(-5.0, 5.0, 0.1), sites=True))[0]
    assert row["ok"] and row["spin"] == "collinear" and row["compression"] == "gzip"
    assert not row["coarse"] and math.isclose(row["file_step"], 0.11274, rel_tol=1e-4)
    assert row["incar"]["ISPIN"] == "2" and row["elements"] == ["Ga", "As"]
    assert row["dos"].shape == row["magnetisation"].shape == (4, 100)
    assert row["element_dos"].shape == row["site_dos"].shape == (2, 4, 100)
    assert row["channel_reasons"] == ["", "", "", ""] and row["valid"].all()
    # Elements' and sites' s, p, d add up to the channels all(s), all(p), all(d).
    np.testing.assert_allclose(row["element_dos"][:, :3].sum(axis=0), row["dos"][1:], atol=1e-12)
    np.testing.assert_allclose(row["site_dos"][:, :3].sum(axis=0), row["dos"][1:], atol=1e-12)
    assert np.isnan(row["element_dos"][:, 3]).all()  # no f columns
    # Elements come out the same whether they are added up from the sites or not.
    plain = _core._collect_batch([folder], dict(OPTIONS, grid=(-5.0, 5.0, 0.1)))[0]
    np.testing.assert_allclose(plain["element_dos"], row["element_dos"], rtol=1e-12)
    for key, values in plain["element_descriptors"].items():
        np.testing.assert_allclose(values, row["element_descriptors"][key], rtol=1e-12)
    # A grid reaching past the file's window: those bins are NaN and not valid.
    wide = _core._collect_batch([folder], {"grid": (-30.0, 30.0, 0.5)})[0]
    edges = np.arange(-30.0, 30.01, 0.5) + wide["shift"]
    inside = (edges[:-1] >= wide["file_emin"]) & (edges[1:] <= wide["file_emax"])
    assert (wide["valid"] == inside).all() and (np.isnan(wide["dos"][0]) == ~inside).all()


# a channel of elements in the 8-atom run of Ti and O: (selection, POSCAR
# there, its DOS: 0 states, Ti's d or NaN (unknown), words of its reason)
@pytest.mark.parametrize("selection, structure, dos, words", [
    ("Fe(d)", True, "zero", "no atom of element Fe in the structure: counted as 0 states"),
    ("Ti,Fe,Co(d)", True, "Ti(d)", "no atom of element Fe, Co in the structure"),
    ("Fe(d)", False, "nan", "needs the element of every atom: no structure is known"),
])
def test_element_channels_absent_elements_are_zero(tmp_path, selection, structure, dos, words):
    folder = folder_of("ti8", tmp_path)
    if not structure:
        os.unlink(tmp_path / "POSCAR")
    row = _core._collect_batch([folder], {"channels": ["Ti(d)", selection],
                                          "grid": (-12.0, 12.0, 0.1)})[0]
    assert words in row["channel_reasons"][2] and not row["valid"].all()
    want = {"zero": np.where(row["valid"], 0.0, np.nan), "Ti(d)": row["dos"][1]}
    np.testing.assert_array_equal(row["dos"][2], want.get(dos, np.full(240, np.nan)))


def damaged(tmp_path, name):
    lines = (DATA / "nonspin-lm-8atoms.DOSCAR").read_text().splitlines(keepends=True)
    if name == "truncated":
        lines = lines[:400]
    elif name == "not-a-number":
        lines[9] = lines[9][:11] + "  abc.defE+0" + lines[9][23:]
    elif name == "not-vasp-layout":
        lines[6] = lines[6].replace("E", "e")
    (tmp_path / "DOSCAR").write_text("".join(lines))
    return str(tmp_path)


@pytest.mark.parametrize(
    "name, error_type, number",
    [
        ("truncated", "DoscarError", 24),
        ("not-a-number", "DoscarError", 64),
        ("not-vasp-layout", "DoscarError", 62),
        ("no-doscar", "OSError", -1),
    ],
)
def test_failure_rows_and_doscar_error_cause(tmp_path, name, error_type, number):
    folder = str(tmp_path) if name == "no-doscar" else damaged(tmp_path, name)
    good = str(DATA / "runs/al-fcc-nonspin-lm")
    rows = _core._collect_batch([good, folder, good], {})
    assert [r["ok"] for r in rows] == [True, False, True]
    bad = rows[1]
    got = (bad["error_type"], bad["error_number"], bad["error_cause"])
    assert got == (error_type, number, name)
    assert bad["error_message"]
    if error_type == "DoscarError":
        with pytest.raises(pdsplit.DoscarError) as raised:
            pdsplit.read(folder)
        assert (raised.value.number, raised.value.cause) == (number, name)
        again = pickle.loads(pickle.dumps(raised.value))
        assert (again.cause, again.number, str(again)) == (name, number, str(raised.value))


def sparse(path, size=4 << 30):
    """A file of `size` NUL bytes that takes no room on the disk."""
    with open(path, "wb") as f:
        f.truncate(size)


EIGHT = (DATA / "nonspin-lm-8atoms.DOSCAR").read_bytes()
# A run folder's hostile inputs, none of them opened: what the folder holds
# -> the row's cause (None: read from the regular DOSCAR.gz or DOSCAR)
HOSTILE = {
    "FIFO DOSCAR beside DOSCAR.gz": (lambda f: os.mkfifo(f / "DOSCAR"), True, None),
    "link to /dev/zero beside DOSCAR.gz": (lambda f: os.symlink("/dev/zero", f / "DOSCAR"), True, None),
    "FIFO DOSCAR alone": (lambda f: os.mkfifo(f / "DOSCAR"), False, "not-a-regular-file"),
    "link to /dev/zero alone": (lambda f: os.symlink("/dev/zero", f / "DOSCAR"), False,
                                "not-a-regular-file"),
    "folder named DOSCAR alone": (lambda f: os.mkdir(f / "DOSCAR"), False, "not-a-regular-file"),
    "FIFO INCAR beside DOSCAR": (lambda f: (os.mkfifo(f / "INCAR"), (f / "DOSCAR").write_bytes(EIGHT)),
                                 False, None),
    "4 GB sparse DOSCAR": (lambda f: sparse(f / "DOSCAR"), False, "truncated"),
    "header, then 4 GB of NUL bytes": (lambda f: ((f / "DOSCAR").write_bytes(EIGHT[:400]),
                                                  sparse(f / "DOSCAR")), False, "truncated"),
}


@pytest.mark.timeout(60, method="thread")
@pytest.mark.parametrize("case", HOSTILE)
def test_a_collection_reads_regular_files_only(tmp_path, case):
    make, beside_gz, cause = HOSTILE[case]
    make(tmp_path)
    if beside_gz:
        (tmp_path / "DOSCAR.gz").write_bytes(gzip.compress(EIGHT))
    listed = tmp_path / "DOSCAR" if case == "FIFO DOSCAR alone" else tmp_path  # a list line's file
    row = _core._collect_batch([str(listed)], {})[0]
    assert (row["ok"], row.get("error_cause")) == (cause is None, cause)
    if cause is None:
        assert row["compression"] == ("gzip" if beside_gz else "") and row["natoms"] == 8
    else:
        assert row["doscar"] in row["error_message"]
        with pytest.raises(pdsplit.DoscarError) as e:
            pdsplit.read(tmp_path)
        assert e.value.cause == cause and e.value.line in (None, 1, 7)


def states(e, y, a, b):
    """The integral over [a, b] of y, linear between the points e, sampled densely."""
    x = np.linspace(a, b, 200001)
    return np.trapz(np.interp(x, e, y), x)


def test_last_total_block_of_an_md_run(tmp_path):
    from test_formats import craft

    text, totals, _ = craft(3, 6, 9, flag=0, totals=2)
    (tmp_path / "DOSCAR").write_text(text)
    row = _core._collect_batch([str(tmp_path)], {"grid": (-12.0, -9.0, 0.5)})[0]
    assert (row["nblocks"], row["efermi"], row["shift"], row["spin"]) == (2, 2.5, 2.5, "none")
    assert not row["coarse"] and row["file_step"] == 1.0  # points 2 bins apart, not 5
    assert row["channel_reasons"][1] == "the file has no projected DOS"
    assert np.isnan(row["dos"][1]).all() and row["elements"] == [] and row["symbols"] is None
    last = totals[1]
    for i in range(6):
        a, b = -12.0 + 0.5 * i + 2.5, -11.5 + 0.5 * i + 2.5
        want = states(last[:, 0], last[:, 1], a, b)
        assert math.isclose(row["dos"][0, i] * 0.5, want, rel_tol=1e-6)


def test_noncollinear_magnetisation_is_mz(tmp_path):
    shutil.copy(DATA / "library" / "noncollinear-lm-2atoms.DOSCAR", tmp_path / "DOSCAR")
    grid = (-3.0, 2.0, 0.25)
    row = _core._collect_batch([str(tmp_path)], {"grid": grid, "channels": ["1-2(d)"]})[0]
    assert row["spin"] == "noncollinear" and row["valid"].all()
    assert np.isnan(row["magnetisation"][0]).all()  # the total block has none
    assert np.isnan(row["descriptors"]["magnetic_moment"])
    d = pdsplit.read(tmp_path)
    d_band = d.select("1-2(d)")  # energy, DOS, mx, my, mz
    for i in (0, 7, 19):
        a, b = row["shift"] + grid[0] + 0.25 * i, row["shift"] + grid[0] + 0.25 * (i + 1)
        for got, column in ((row["dos"][1, i], 1), (row["magnetisation"][1, i], 4)):
            want = states(d_band[:, 0], d_band[:, column], a, b)
            assert math.isclose(got * 0.25, want, rel_tol=1e-6, abs_tol=1e-12)


CLI_FIX = "--noncollinear yes or --noncollinear no"


# 16 values per point: the option decides, else INCAR, else the run keeps
# its total DOS and its projections are NaN with the front end's fix.
@pytest.mark.parametrize(
    "incar, noncollinear, spin",
    [
        (b"LSORBIT = .TRUE.\n", -1, "noncollinear"),
        (b"ISPIN = 1 ; LORBIT = 11\n", -1, "none"),  # l,m-projected with f orbitals
        (b"LSORBIT = .TRUE.\n", 0, "none"),  # the option over INCAR
        (None, 1, "noncollinear"),
        (None, -1, "unknown"),
    ],
)
def test_compressed_incar_decides_16_values(tmp_path, incar, noncollinear, spin):
    import gzip

    from test_formats import craft

    (tmp_path / "DOSCAR").write_text(craft(2, 3, 16)[0])
    if incar is not None:
        (tmp_path / "INCAR.gz").write_bytes(gzip.compress(incar))
    options = {"noncollinear": noncollinear, "channels": ["all(s)", "total"],
               "grid": (-11.5, -9.5, 0.1)}  # the points: -10, -9, -8 eV, E_F 1.5
    row = _core._collect_batch([str(tmp_path)], options, noncollinear_fix=CLI_FIX)[0]
    assert row["ok"] and row["spin"] == spin
    unknown = row["channel_reasons"][1].endswith("INCAR beside its DOSCAR, or collect with " + CLI_FIX)
    assert unknown == np.isnan(row["dos"][1]).all() == (spin == "unknown")
    assert not np.isnan(row["dos"][2]).any() and row["coarse"]  # points 10 bins apart
    if incar is not None:
        assert row["incar"] == {"LSORBIT": ".TRUE."} if b"LSORBIT" in incar else {
            "ISPIN": "1", "LORBIT": "11"}


def total_run(folder, energies, columns, efermi):
    """A run whose DOSCAR has the total block alone: energies, then columns."""
    head = ["   1   1   0   0\n  0.1E+02\n  1.0E-004\n  CAR \n made\n",
            f"{energies[-1]:16.8f}{energies[0]:16.8f}{len(energies):5d}{efermi:16.8f}{1.0:16.8f}\n"]
    rows = [f"{e:11.3f}" + "".join(f"{c[k]:12.4E}" for c in columns) + "\n"
            for k, e in enumerate(energies)]
    (folder / "DOSCAR").write_text("".join(head + rows))
    return str(folder)


NACL = [2.0] * 16 + [0.23] + [0.0] * 33 + [1.5] * 11
# name: (energies, columns, E_F, options, descriptors worked out by hand)
HAND_RUNS = {  # E_F 0.028 eV below the last occupied point, then 4.8 eV empty
    "insulator": ([round(-3.133 + 0.15 * k, 3) for k in range(61)], [NACL, NACL], -0.7609, {},
                  {"vbm": -0.583, "cbm": 4.217, "gap": 4.8, "gap_pymatgen": 0,
                   "vbm_pymatgen": -0.733, "cbm_pymatgen": -0.883}),
    # up - down 0 1 2 1 0; int_up - int_down 0 .4 2 3.6 4 (not the DOS's integral)
    "magnet": ([-2.0, -1.0, 0.0, 1.0, 2.0],
               [[1, 2, 3, 2, 1], [1, 1, 1, 1, 1], [0, 1.4, 4, 6.6, 8], [0, 1, 2, 3, 4]], 0.5,
               {"grid": (-0.5, 0.5, 0.5)},
               {"gap": 0, "dos_ef": 3.5, "dos_ef_up": 2.5, "spin_polarisation": 1.5 / 3.5,
                "magnetic_moment": 2.8, "magnetic_moment_dos": 2.875, "states_window": 3.75}),
}


@pytest.mark.parametrize("name", HAND_RUNS)
def test_descriptors_of_runs_worked_out_by_hand(tmp_path, name):
    energies, columns, efermi, options, want = HAND_RUNS[name]
    row = _core._collect_batch([total_run(tmp_path, energies, columns, efermi)], options)[0]
    got = {k: row["descriptors"][k] for k in want}
    assert got == pytest.approx(want, abs=1e-9)
    if name == "magnet":  # bins [E_F, E_F + 0.5], [E_F + 0.5, E_F + 1]: up - down 2, 1.5, 1
        assert row["magnetisation"][0].tolist() == pytest.approx([1.75, 1.25], rel=1e-12)


def test_broadened_spike_is_the_kernel_where_it_was(tmp_path):
    """One state at 0 eV, half in each of two bins, broadened by sigma 0.105
    (10.5 bins): the Gaussian's mass over each bin, cut at 11, at both."""
    energies = [round(-3.0 + 0.05 * k, 3) for k in range(121)]
    dos = [20.0 if k == 60 else 0.0 for k in range(121)]
    sigma, step, half = 0.105, 0.05, 11
    row = _core._collect_batch([total_run(tmp_path, energies, [dos, dos], 0.0)],
                               {"grid": (-1.0, 1.0, step), "sigma": sigma})[0]
    w = np.diff([math.erf(j * step / (sigma * math.sqrt(2))) for j in np.arange(-11.5, 12)])
    want = np.zeros(40)
    for first in (19, 20):  # the bins [-0.05, 0] and [0, 0.05]: 10 states/eV
        want[first - half:first + half + 1] += 10.0 * w / w.sum()
    np.testing.assert_allclose(row["dos"][0], want, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("name, aligned_at", [("gaas-r2scan-spin-lm", "vbm"),
                                              ("al-fcc-nonspin-lm", "efermi")])
def test_align_at_the_vbm_where_there_is_a_gap(name, aligned_at):
    row = _core._collect_batch([str(DATA / "runs" / name)], {"align": "vbm"})[0]
    want = row["descriptors"]["vbm"] if aligned_at == "vbm" else row["efermi"]
    assert row["shift"] == want and (row["shift"] != row["efermi"]) == (aligned_at == "vbm")


@pytest.mark.parametrize(
    "call, cause",
    [
        (lambda d: pdsplit.read(d / "DOSCAR", structure=["Ti", "O"]), "structure-mismatch"),
        (lambda d: pdsplit.read(d / "DOSCAR", atoms=[9]), "atom-not-in-file"),
        (lambda d: pdsplit.write(d / "DOSCAR", np.zeros((2, 2))), "refused-output"),
    ],
)
def test_doscar_error_causes_of_refusals(tmp_path, call, cause):
    folder_of("ti8", tmp_path)  # DOSCAR and POSCAR of 8 atoms
    with pytest.raises(pdsplit.DoscarError) as raised:
        call(tmp_path)
    assert (raised.value.number, raised.value.cause) == (1, cause)
