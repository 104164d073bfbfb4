"""Prints, one per line, the project's runtime requirements plus those of the named extras, read from pyproject.toml.
The name `build` stands for the build system's requirements."""

import sys
import tomllib
from pathlib import Path

pyproject = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
project = pyproject["project"]
requirements = list(project["dependencies"])
for extra in sys.argv[1:]:
    if extra == "build":
        requirements += pyproject["build-system"]["requires"]
    else:
        requirements += project["optional-dependencies"][extra]
print("\n".join(requirements))
