"""Builds the small C++ test drivers of tests/cpp with g++ into a temporary directory."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build_driver(tmp_dir, driver, *sources):
    """Compiles tests/cpp/<driver>.cpp with the given core sources; skips when there is no g++."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no g++ to build the C++ test driver")
    exe = pathlib.Path(tmp_dir) / driver
    # oneTBB comes from the environment's tbb-devel and tbb packages, as for the extensions.
    env = pathlib.Path(sys.prefix)
    subprocess.run([compiler, "-O2", "-std=c++20", "-ffp-contract=off", f"-I{ROOT / 'src/core'}",
                    f"-I{env / 'include'}", "-o", str(exe), str(ROOT / "tests/cpp" / f"{driver}.cpp"),
                    *(str(ROOT / s) for s in sources), f"-L{env / 'lib'}", f"-Wl,-rpath,{env / 'lib'}",
                    "-ltbb"], check=True)
    return exe


def run_driver(exe, text):
    return subprocess.run([str(exe)], input=text, capture_output=True, text=True, check=True).stdout
