"""C++ unit tests of facilities Python cannot reach directly, compiled and run here."""

import subprocess

import pytest

from _cpp_driver import build_driver


@pytest.mark.parametrize("name, sources", [
    ("test_thinning", ["src/core/detect/peaks.cpp"]),
    ("test_stable_sort", []),
    ("test_thread_counts", [f"src/core/{name}.cpp" for name in (
        "detect/peaks", "detect/detection2d", "detect/detection3d", "localize/localize",
        "localize/radial_symmetry2d", "link/linking", "link/assignment", "common/types")]),
])
def test_cpp_unit(tmp_path, name, sources):
    run = subprocess.run([str(build_driver(tmp_path, name, *sources))], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
