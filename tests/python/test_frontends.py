"""The front ends on Doscar.select: the command python3 -m pdsplit, the
matplotlib plot and the pymatgen CompleteDos."""
import gzip
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import pdsplit
from pdsplit.__main__ import main
from conftest import DATA

EIGHT = DATA / "nonspin-lm-8atoms.DOSCAR"
POSCAR = DATA / "nonspin-lm-8atoms.POSCAR"  # 4 Ti, then 4 O
NONCOLLINEAR = DATA / "library" / "noncollinear-lm-2atoms.DOSCAR"


@pytest.fixture
def run(tmp_path, monkeypatch):
    """A run's folder: DOSCAR (8 atoms), POSCAR, a damaged copy in cut/, a
    copy without structure in bare/ and a vasprun.xml.gz alone in vr/."""
    shutil.copy(EIGHT, tmp_path / "DOSCAR")
    shutil.copy(POSCAR, tmp_path / "POSCAR")
    (tmp_path / "cut").mkdir()
    (tmp_path / "cut" / "DOSCAR").write_text("".join(EIGHT.read_text().splitlines(True)[:400]))
    (tmp_path / "bare").mkdir()
    shutil.copy(EIGHT, tmp_path / "bare" / "DOSCAR")
    (tmp_path / "vr").mkdir()
    shutil.copy(DATA / "vasprun/nonspin-l-SrTiO3-cut.vasprun.xml.gz", tmp_path / "vr/vasprun.xml.gz")
    monkeypatch.chdir(tmp_path)
    return tmp_path


# arguments -> status, file written, its header line, or the error's text
COMMANDS = [
    (["O(p)", "Ti(t2g,eg)"], 0, "iSELDOS", "#    energy        O(p)  Ti(t2g,eg)"),
    (["--dir", ".", "--no-shift", "-o", "out/x", "total", "1"], 0, "out/x",
     "#    energy       total           1"),
    (["Xe"], 1, None, "no atom of element Xe: the structure has Ti, O"),
    (["O(t2g"], 1, None, '")" expected after the orbitals'),
    (["-o", "out/DOSCAR", "O"], 1, None, "named DOSCAR (or DOSCAR.gz, .xz, .bz2) is never"),
    (["-o", "out/DOSCAR.gz", "O"], 1, None, "named DOSCAR (or DOSCAR.gz, .xz, .bz2) is never"),
    (["-o", "", "1"], 1, None, "an empty output name"),
    (["--structure", "POSCAR", "-o", "out/x", "all(d)", "Ti,O(d)"], 0, "out/x",
     "#    energy      all(d)     Ti,O(d)"),
    (["--structure", "nowhere", "1"], 1, None, "nowhere: No such file or directory"),
    (["--dir", "bare", "O"], 1, None, "there is no CONTCAR or POSCAR beside bare/DOSCAR. Give "
     "--structure a POSCAR or CONTCAR with element symbols; or select atom numbers"),
    (["--dir", "nowhere", "O"], 1, None, "nowhere: No such file or directory"),
    (["--dir", "cut", "O"], 24, None, "ends at line 400"),
    (["--dir", "vr", "-o", "out/x", "Ti(d)", "total"], 0, "out/x",
     "#    energy       Ti(d)       total"),  # elements from the vasprun.xml
]


@pytest.mark.parametrize("args, status, output, text", COMMANDS)
def test_command(run, capsys, args, status, output, text):
    (run / "out").mkdir()
    assert main(args) == status
    out, err = capsys.readouterr()
    if status:
        assert (out, err.startswith("pdsplit: "), text in err) == ("", True, True)
        assert sorted(p.name for p in run.iterdir()) == ["DOSCAR", "POSCAR", "bare", "cut", "out",
                                                             "vr"]
        assert not list((run / "out").iterdir())
        assert (run / "DOSCAR").read_bytes() == EIGHT.read_bytes()
        return
    assert (out, err) == (output + "\n", "")
    lines = (run / output).read_text().splitlines()
    assert (lines[0], len(lines)) == (text, 302)
    if args == ["O(p)", "Ti(t2g,eg)"]:  # columns as select() gives them, as write() writes them
        dos = pdsplit.read(".")
        block = np.column_stack([dos.select("O(p)"), dos.select("Ti(t2g,eg)")[:, 1]])
        pdsplit.write("same", block, shift=dos.efermi, header=lines[0][1:].split())
        assert (run / "same").read_text().splitlines() == lines


def test_command_help_and_usage(run):
    package = os.path.dirname(os.path.dirname(pdsplit.__file__))
    command = dict(capture_output=True, text=True, env={**os.environ, "PYTHONPATH": package})
    done = subprocess.run([sys.executable, "-m", "pdsplit", "--help"], **command)
    assert done.returncode == 0 and "selection := target" in done.stdout
    assert done.stdout.count("Examples:") == 1 and "--collinear" in done.stdout
    done = subprocess.run([sys.executable, "-m", "pdsplit"], **command)
    assert done.returncode == 2 and "SELECTION" in done.stderr
    # a selection of bytes that are not UTF-8: one line, no traceback
    done = subprocess.run([sys.executable, "-m", "pdsplit", b"Ti(\xff)"], cwd=run, **command)
    assert (done.returncode, done.stderr) == (1, 'pdsplit: selection "Ti(\\xff)": not text (bytes '
                                              "that are not UTF-8, or a lone surrogate)\n")


# how out.dat reaches the DOSCAR being read (its folder: the run's, or
# in/ for a gzip one) -> the refusal
LINKS = {
    "symbolic link": (lambda r: os.symlink("DOSCAR", r / "out.dat"), "DOSCAR",
                      "is the DOSCAR being read"),
    "hard link": (lambda r: os.link(r / "DOSCAR", r / "out.dat"), "DOSCAR",
                  "is the DOSCAR being read"),
    "hard link, gzip": (lambda r: os.link(r / "in" / "DOSCAR.gz", r / "out.dat"), "in/DOSCAR.gz",
                        "is the DOSCAR being read"),
    "link to a DOSCAR not read": (lambda r: os.symlink("in/DOSCAR.gz", r / "out.dat"), "DOSCAR",
                                  "in/DOSCAR.gz under another name"),
}


@pytest.mark.parametrize("case", LINKS.values(), ids=LINKS.keys())
def test_command_never_writes_the_doscar_through_a_link(run, capsys, case):
    link, doscar, text = case
    (run / "in").mkdir()
    (run / "in" / "DOSCAR.gz").write_bytes(gzip.compress(EIGHT.read_bytes()))
    link(run)
    assert main(["--dir", doscar, "-o", "out.dat", "1"]) == 1
    assert text in capsys.readouterr().err
    assert (run / "DOSCAR").read_bytes() == EIGHT.read_bytes()
    assert gzip.decompress((run / "in" / "DOSCAR.gz").read_bytes()) == EIGHT.read_bytes()


def test_command_collinear_options_and_advice(run, capsys):
    from test_select import crafted

    crafted(run / "f16", 2, 16, False)  # 16 values: collinear lm with f, or non-collinear l with f
    assert main(["--dir", "f16", "1"]) == 1
    err = capsys.readouterr().err
    assert "run the command with --noncollinear or --collinear" in err and "=" not in err
    for option, columns in (("--collinear", "1(f)"), ("--noncollinear", "1(f)_mz")):
        assert main(["--dir", "f16", option, "-o", "x", "1(f)"]) == 0
        assert (run / "x").read_text().split("\n")[0].split()[-1] == columns
    shutil.copy(NONCOLLINEAR, run / "f16" / "DOSCAR")  # 36 values: non-collinear only
    # --collinear decides 16 values only: a real non-collinear file is read as one
    assert main(["--dir", "f16", "--collinear", "-o", "x", "1(d)"]) == 0
    assert (run / "x").read_text().split("\n")[0].split()[-1] == "1(d)_mz"
    assert pdsplit.read(run / "f16", noncollinear=False).noncollinear


def test_command_on_a_run_without_projected_dos(run, capsys):
    from test_select import crafted

    crafted(run / "nolorbit", 3, 3, False, pdos=False)
    assert main(["--dir", "nolorbit", "total", "1"]) == 1
    assert "has no projected DOS (line 1 says so" in capsys.readouterr().err


# source, structure, selections -> lines drawn per selection (total first)
PLOTS = [
    (EIGHT, POSCAR, ("O(p)", "Ti(d)"), 1),
    (DATA / "spin-l-1atom.DOSCAR", None, ("1(s)", "1(p)"), 2),
    (NONCOLLINEAR, None, ("1-2(d)",), 1),
]


@pytest.mark.parametrize("source, structure, selections, per", PLOTS)
def test_plot(source, structure, selections, per):
    matplotlib = pytest.importorskip("matplotlib", reason="matplotlib is not installed")
    matplotlib.use("Agg")
    dos = pdsplit.read(source, structure=structure)
    ax = dos.plot(*selections, emin=-5, emax=3)
    curves = [line for line in ax.get_lines() if len(line.get_xdata()) == dos.npoints]
    assert len(curves) == per * (1 + len(selections))
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["total", *selections]
    assert ax.get_xlim() == (-5, 3)
    for line in curves:  # energies from the Fermi level, to the bit
        assert np.array_equal(line.get_xdata(), dos.total[:, 0] - dos.efermi)
    if per == 2:  # spin down drawn negative
        assert np.array_equal(curves[-1].get_ydata(), -dos.select(selections[-1])[:, 2])
    matplotlib.pyplot.close("all")


def test_to_pymatgen(tmp_path):
    pytest.importorskip("pymatgen", reason="pymatgen is not installed")
    from pymatgen.core import Element
    from pymatgen.electronic_structure.core import OrbitalType, Spin

    dos = pdsplit.read(EIGHT, structure=POSCAR)
    complete = dos.to_pymatgen()
    elements = complete.get_element_dos()
    for element in ("Ti", "O"):
        assert np.allclose(elements[Element(element)].densities[Spin.up], dos.select(element)[:, 1])
    for shell in "spd":
        spd = complete.get_spd_dos()[OrbitalType[shell]].densities[Spin.up]
        assert np.allclose(spd, dos.select(f"1-8({shell})")[:, 1])
    assert complete.efermi == dos.efermi and len(complete.structure) == 8
    spin = pdsplit.read(DATA / "spin-l-1atom.DOSCAR", structure=["Fe"])
    with pytest.raises(ValueError, match="has no positions"):
        spin.to_pymatgen()
    shutil.copy(DATA / "spin-l-1atom.DOSCAR", tmp_path / "DOSCAR")
    (tmp_path / "POSCAR").write_text("x\n1.0\n3 0 0\n0 3 0\n0 0 3\nFe\n1\nDirect\n0 0 0\n")
    down = pdsplit.read(tmp_path).to_pymatgen().get_spd_dos()[OrbitalType.p].densities[Spin.down]
    assert np.allclose(down, pdsplit.read(tmp_path).select("Fe(p)")[:, 2])
    (tmp_path / "POSCAR").write_text("x\n1.0\n3 0 0\n0 3 0\n0 0 3\n1\nDirect\n0 0 0\n")  # VASP 4
    with pytest.raises(ValueError, match=r"POSCAR: line 6: atom counts without element symbols .*"
                       "put the run's POTCAR beside the POSCAR"):
        pdsplit.read(tmp_path).to_pymatgen()


@pytest.mark.parametrize("package, call", [("matplotlib", lambda d: d.plot()),
                                           ("pymatgen", lambda d: d.to_pymatgen())])
def test_a_missing_package_is_named(monkeypatch, package, call):
    for name in [n for n in sys.modules if n.split(".")[0] == package]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, package, None)  # import fails
    with pytest.raises(ImportError, match=f"apt-get install python3-{package}"):
        call(pdsplit.read(EIGHT, structure=POSCAR))
