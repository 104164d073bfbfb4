"""C++ unit tests of facilities Python cannot reach directly, built by CMake and run by CTest."""

import pytest
from cpp_build import ROOT, ctest


@pytest.mark.parametrize("name", sorted(p.stem for p in (ROOT / "tests/cpp").glob("test_*.cpp")))
def test_cpp_unit(name):
    passed, output = ctest(name)
    assert passed, output
