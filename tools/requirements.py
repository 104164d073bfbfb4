"""Prints, one per line, the project's runtime requirements plus those of the named extras, read from pyproject.toml."""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())["project"]
requirements = list(project["dependencies"])
for extra in sys.argv[1:]:
    requirements += project["optional-dependencies"][extra]
print("\n".join(requirements))
