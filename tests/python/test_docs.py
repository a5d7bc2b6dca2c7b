"""The ```python blocks of README.md and docs/*.md, and the ```sh blocks that
run the module's command (`python3 -m pdsplit`), run, each in a fresh namespace or shell, in a
scratch folder that stands for the repository root: it holds a copy of examples/
and nothing else, so every block reads only the files the repository ships.
A top-level line whose comment is a Python literal states a result: the
expression (or the name an assignment binds) must equal it, as in
`dos.natoms, dos.npoints  # 8, 301`. A block that imports a package that is
not installed (matplotlib, ASE, pymatgen) is skipped. A marker line right
before a block changes what is expected of it: `<!-- not run: reason -->`
(an illustration that cannot run) or `<!-- xfail: reason -->` (it must fail
until the reason is gone)."""
import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import pdsplit

ROOT = Path(__file__).resolve().parent.parent.parent
OPTIONAL = {"matplotlib", "ase", "pymatgen"}

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
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_pages_have_python_blocks():
    pages = {name.split(" line ")[0] for name in BLOCKS}
    assert {"README.md", "docs/python.md", "docs/files.md"} <= pages


def stated(line):
    """(code, statement, expected) of a top-level line `code  # literal`, else None."""
    code, sep, comment = line.partition("  #")
    if not sep or line[:1].isspace():
        return None
    try:
        expected = ast.literal_eval(comment.strip())
        statement = ast.parse(code.strip()).body[0]
    except (ValueError, SyntaxError, IndexError):  # prose, not a literal
        return None
    return code.strip(), statement, expected


def with_checks(code):
    """The block with an assert after each line that states its result."""
    out = []
    for line in code.splitlines():
        found = stated(line)
        out.append(line)
        if found is None:
            continue
        text, statement, expected = found
        if isinstance(statement, ast.Expr):
            out[-1] = f"_result = {text}"
            text = "_result"
        elif isinstance(statement, ast.Assign) and isinstance(statement.targets[0], ast.Name):
            text = statement.targets[0].id
        else:
            continue
        out.append(f"assert {text} == {expected!r}, ({text}, {line!r})")
    return "\n".join(out) + "\n"


@pytest.mark.parametrize("code", block_params())
def test_python_block(scratch, code):
    try:
        exec(compile(with_checks(code), "documentation block", "exec"), {"__name__": "doc_block"})
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
    done = subprocess.run(["bash", "-e", "-c", code], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
