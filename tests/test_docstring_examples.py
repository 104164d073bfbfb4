"""The Examples sections of quorlin_track's docstrings, run as doctests against the installed
package: an example that no longer runs, or prints something else, fails here."""

import doctest
import importlib
import pkgutil

import pytest

import quorlin_track

# __main__ runs the command line when imported.
MODULES = sorted(m.name for m in pkgutil.iter_modules(quorlin_track.__path__) if m.name != "__main__")
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def _with_examples(name):
    """Whether the module has an example that runs (one not marked to be skipped)."""
    module = importlib.import_module(f"quorlin_track.{name}")
    return any(not e.options.get(doctest.SKIP) for t in doctest.DocTestFinder().find(module)
               for e in t.examples)


@pytest.mark.parametrize("name", [name for name in MODULES if _with_examples(name)])
def test_docstring_examples_run(name, capsys):
    module = importlib.import_module(f"quorlin_track.{name}")
    result = doctest.testmod(module, optionflags=FLAGS, report=True)
    assert result.attempted > 0 and result.failed == 0, capsys.readouterr().out
