"""The shape of the quorlin_track package: no import cycles among its modules (imports inside
functions included), and no public name of the package that hides a submodule of the same name."""

import ast
import pathlib
import pkgutil

import quorlin_track

PACKAGE = pathlib.Path(quorlin_track.__file__).parent


def imports():
    """Module name -> names of the package's modules it imports (the package itself left out:
    every submodule imports it first anyway)."""
    files = {".".join(p.relative_to(PACKAGE.parent).with_suffix("").parts).removesuffix(".__init__"): p
             for p in PACKAGE.rglob("*.py")}
    graph = {}
    for name, path in files.items():
        here = name if path.name == "__init__.py" else name.rpartition(".")[0]
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom):
                base = ".".join(here.split(".")[:len(here.split(".")) - node.level + 1]) if node.level else ""
                target = ".".join(filter(None, [base, node.module]))
                found |= {f"{target}.{a.name}" if f"{target}.{a.name}" in files else target for a in node.names}
            elif isinstance(node, ast.Import):
                found |= {a.name for a in node.names}
        graph[name] = {m for m in found if m in files and m not in (name, "quorlin_track")}
    return graph


def test_no_import_cycles():
    graph = imports()
    done, path = set(), []

    def visit(module):
        assert module not in path, f"import cycle: {' -> '.join(path[path.index(module):] + [module])}"
        if module in done:
            return
        path.append(module)
        for imported in sorted(graph[module]):
            visit(imported)
        path.pop()
        done.add(module)

    for module in sorted(graph):
        visit(module)


def test_no_public_name_hides_a_submodule():
    submodules = {m.name for m in pkgutil.iter_modules(quorlin_track.__path__)}
    assert not submodules & set(quorlin_track.__all__)
