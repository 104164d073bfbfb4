"""C++ unit tests of facilities Python cannot reach directly, compiled and run here."""

import subprocess

import pytest

from _cpp_driver import ROOT, build_driver


@pytest.mark.parametrize("name, sources", [
    ("test_thinning", ["src/core/detect/peaks.cpp", "src/core/common/radix_sort.cpp"]),
    ("test_spatial_index", ["src/core/common/radix_sort.cpp"]),
    ("test_stable_sort", []),
    # Whole pipelines: every source of the core.
    ("test_thread_counts", sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src/core").rglob("*.cpp"))),
])
def test_cpp_unit(tmp_path, name, sources):
    run = subprocess.run([str(build_driver(tmp_path, name, *sources))], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
