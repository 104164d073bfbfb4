"""C++ unit tests of facilities Python cannot reach directly, compiled and run here."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
COMPILER = shutil.which("g++") or shutil.which("c++")


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")
@pytest.mark.parametrize("name, sources", [("test_thinning", ["src/core/peaks.cpp"])])
def test_cpp_unit(tmp_path, name, sources):
    exe = tmp_path / name
    cmd = [COMPILER, "-std=c++20", "-O2", "-ffp-contract=off", f"-I{ROOT / 'src' / 'core'}",
           str(ROOT / "tests" / "cpp" / f"{name}.cpp"), *(str(ROOT / s) for s in sources), "-ltbb", "-o", str(exe)]
    build = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
