"""Builds the small C++ test drivers of tests/cpp with g++ into a temporary directory."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build_driver(tmp_dir, driver, *sources):
    """Compiles tests/cpp/<driver>.cpp with the given core sources; skips when there is no g++."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no g++ to build the C++ test driver")
    exe = pathlib.Path(tmp_dir) / driver
    subprocess.run([compiler, "-O2", "-std=c++20", "-ffp-contract=off", f"-I{ROOT / 'src/core'}", "-o", str(exe),
                    str(ROOT / "tests/cpp" / f"{driver}.cpp"), *(str(ROOT / s) for s in sources), "-ltbb"],
                   check=True)
    return exe


def run_driver(exe, text):
    return subprocess.run([str(exe)], input=text, capture_output=True, text=True, check=True).stdout
