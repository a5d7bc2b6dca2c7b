"""The ```python blocks of README.md and docs/*.md, and the ```sh blocks that
run the module's command (`python -m pdsplit`), run, each in a fresh namespace or shell, in a
scratch folder that is at once a calculation folder (DOSCAR: 8 atoms, its
POSCAR and iDOS), a folder of runs (run1/DOSCAR) and a clone (examples/).
A block that imports a package that is not installed (matplotlib, ASE,
pymatgen) is skipped. A marker line right before a block changes what is
expected of it: `<!-- not run: reason -->` (an illustration that cannot
run) or `<!-- xfail: reason -->` (it must fail until the reason is gone)."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import pdsplit
from conftest import DATA

ROOT = Path(__file__).resolve().parent.parent.parent
OPTIONAL = {"matplotlib", "ase", "pymatgen"}

# Eight atoms in the order of the sample DOSCAR: 4 Ti, then 4 O (atoms 5-8).
POSCAR = """crafted cell of 8 atoms
1.0
  5.0 0.0 0.0
  0.0 5.0 0.0
  0.0 0.0 5.0
Ti O
4 4
Direct
""" + "".join(f"  {x / 8:.3f} {x / 8:.3f} {x / 8:.3f}\n" for x in range(8))


PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))


def python_blocks(fence="```python"):
    """{"page line N" of the opening fence: (marker, code)} of the pages."""
    blocks = {}
    for page in PAGES:
        blocks.update(page_blocks(page, fence))
    return blocks


def page_blocks(page, fence):
    blocks, code, marker, previous = {}, None, None, ""
    where = page.relative_to(ROOT)
    for n, line in enumerate(page.read_text().splitlines(), start=1):
        if code is None and line == fence:
            code, start = [], n
            found = re.fullmatch(r"<!-- (not run|xfail): (.*) -->", previous)
            marker = found.groups() if found else None
        elif code is not None and line.startswith("```"):
            blocks[f"{where} line {start}"] = (marker, "\n".join(code) + "\n")
            code = None
        elif code is not None:
            code.append(line)
        previous = line
    return blocks


BLOCKS = python_blocks()


def block_params():
    for start, (marker, code) in BLOCKS.items():
        marks = []
        if marker and marker[0] == "not run":
            marks = [pytest.mark.skip(reason=marker[1])]
        elif marker:
            marks = [pytest.mark.xfail(strict=True, reason=marker[1])]
        yield pytest.param(code, id=start, marks=marks)


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    shutil.copy(DATA / "nonspin-lm-8atoms.DOSCAR", tmp_path / "DOSCAR")
    (tmp_path / "run1").mkdir()
    shutil.copy(DATA / "nonspin-lm-8atoms.DOSCAR", tmp_path / "run1" / "DOSCAR")
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    (tmp_path / "POSCAR").write_text(POSCAR)
    d = pdsplit.read(tmp_path)
    pdsplit.write(tmp_path / "iDOS", d.total, shift=d.efermi)  # the file of `pdsplit -t`
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_pages_have_python_blocks():
    pages = {name.split(" line ")[0] for name in BLOCKS}
    assert {"README.md", "docs/python.md", "docs/files.md"} <= pages


@pytest.mark.parametrize("code", block_params())
def test_python_block(scratch, code):
    try:
        exec(compile(code, "documentation block", "exec"), {"__name__": "doc_block"})
    except ModuleNotFoundError as e:
        if e.name and e.name.split(".")[0] in OPTIONAL:
            pytest.skip(f"{e.name} is not installed")
        raise


# The command's examples, run with this interpreter in place of the venv's.
COMMANDS = {n: code for n, (_, code) in python_blocks("```sh").items() if "-m pdsplit" in code}


def test_docs_show_the_command():
    assert COMMANDS


@pytest.mark.parametrize("code", COMMANDS.values(), ids=list(COMMANDS))
def test_command_block(scratch, code):
    code = re.sub(r"\S*python3?(?= -m pdsplit)", sys.executable, code)
    package = Path(pdsplit.__file__).resolve().parent.parent
    env = dict(os.environ, PYTHONPATH=str(package))
    done = subprocess.run(["bash", "-e", "-c", code], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
