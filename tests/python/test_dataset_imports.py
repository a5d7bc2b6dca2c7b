"""The modules of pdsplit.dataset import one another one way: only at the
top of a module (never inside a function, where an import would hide a
cycle), and with no cycle."""
import ast
from pathlib import Path

import pdsplit

PACKAGE = Path(pdsplit.__file__).parent / "dataset"


def imports(path):
    """{module of pdsplit.dataset imported at the top}, [line of an import of
    pdsplit inside a function]."""
    top, nested = set(), []

    def visit(node, in_function):
        for child in ast.iter_child_nodes(node):
            inner = in_function or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef,
                                                      ast.Lambda))
            if isinstance(child, ast.ImportFrom):
                if child.level == 1 and not inner:  # from .x import y, from . import x
                    top.update([child.module] if child.module else [a.name for a in child.names])
                if inner and (child.level or (child.module or "").startswith("pdsplit")):
                    nested.append(child.lineno)
            elif isinstance(child, ast.Import) and inner:
                nested.extend(child.lineno for a in child.names if a.name.startswith("pdsplit"))
            visit(child, inner)

    visit(ast.parse(path.read_text()), False)
    return top, nested


def test_imports_run_one_way():
    graph = {}
    for path in sorted(PACKAGE.glob("*.py")):
        top, nested = imports(path)
        assert not nested, f"{path.name}: an import of pdsplit inside a function, line {nested}"
        graph[path.stem] = top
    assert len(graph) > 10 and graph["options"] == set() and graph["__init__"] == set()
    done, path = set(), []

    def visit(module):  # depth first: a module met again on the path closes a cycle
        assert module not in path, f"import cycle: {' -> '.join(path + [module])}"
        if module in done:
            return
        path.append(module)
        for imported in sorted(graph[module]):
            visit(imported)
        path.pop()
        done.add(module)

    for module in graph:
        visit(module)
