import math

import numpy as np
import pytest

import quorlin
from reference import radial_symmetry_2d as reference_rs2d

FAILED = "Radial symmetry localization failed"


def gaussian(shape, center, sigma):
    yy, xx = np.mgrid[0 : shape[0], 0 : shape[1]]
    return np.exp(-((yy - center[0]) ** 2 + (xx - center[1]) ** 2) / (2 * sigma**2)).astype(np.float32)


@pytest.mark.parametrize(
    "window",
    [
        np.full((5, 5), 3.0, np.float32),
        np.zeros((7, 7), np.float32),
        np.arange(7, dtype=np.float32).reshape(1, 7),
        np.arange(7, dtype=np.float32).reshape(7, 1),
        np.zeros((0, 5), np.float32),
        np.zeros((5, 0), np.float32),
        np.zeros((0, 0), np.float32),
    ],
    ids=["constant", "zeros", "one-row", "one-column", "no-rows", "no-columns", "empty"],
)
def test_windows_without_a_unique_centre_raise(window):
    with pytest.raises(ValueError, match=f"^{FAILED}$"):
        quorlin.rs_radial_symmetry_2d(window)


def test_offset_follows_increasing_index():
    d0, d1 = quorlin.rs_radial_symmetry_2d(gaussian((7, 7), (3.3, 3.0), 1.3))
    assert d0 == pytest.approx(0.3, abs=0.02)
    assert d1 == pytest.approx(0.0, abs=1e-4)


@pytest.mark.parametrize("shape", [(7, 7), (8, 8), (9, 5), (6, 11)])
def test_symmetric_window_gives_zero_offset(shape):
    center = ((shape[0] - 1) / 2, (shape[1] - 1) / 2)
    d0, d1 = quorlin.rs_radial_symmetry_2d(gaussian(shape, center, 1.5))
    assert abs(d0) < 1e-5 and abs(d1) < 1e-5


def test_off_centre_spots_are_located_accurately():
    rng = np.random.default_rng(5)
    for _ in range(50):
        true = rng.uniform(-0.5, 0.5, 2)
        d = quorlin.rs_radial_symmetry_2d(gaussian((7, 7), 3 + true, 1.5))
        assert np.allclose(d, true, atol=0.02)


def test_nan_pixel_gives_nan_pair_without_raising():
    w = gaussian((7, 7), (3, 3), 1.3)
    w[1, 5] = np.nan
    d0, d1 = quorlin.rs_radial_symmetry_2d(w)
    assert math.isnan(d0) and math.isnan(d1)


def test_infinite_slope_takes_positive_million():
    # A column of grid points with s1 == s2 != 0 gives an infinite slope of either sign; both must
    # become +1e6, which the reference does; a sign error changes the result.
    w = np.zeros((5, 6), np.float32)
    w[:, 0] = 1.0
    w[2, 3] = 4.0
    assert quorlin.rs_radial_symmetry_2d(w) == reference_rs2d(w)


@pytest.mark.parametrize("seed", range(40))
def test_matches_float32_reference(seed):
    rng = np.random.default_rng(seed)
    shape = tuple(rng.integers(4, 10, size=2))
    kind = seed % 3
    if kind == 0:
        w = rng.normal(size=shape).astype(np.float32)
    elif kind == 1:
        w = gaussian(shape, rng.uniform(1, np.array(shape) - 2), rng.uniform(0.8, 2.0))
        w += rng.normal(scale=0.05, size=shape).astype(np.float32)
    else:
        w = rng.integers(0, 4, size=shape).astype(np.float32)  # many ties and equal differences
    expected = reference_rs2d(w)
    if expected is None:
        with pytest.raises(ValueError, match=FAILED):
            quorlin.rs_radial_symmetry_2d(w)
    else:
        got = quorlin.rs_radial_symmetry_2d(w)
        np.testing.assert_array_equal(np.float32(got), np.float32(expected))


def test_results_are_python_floats_of_float32_values():
    d = quorlin.rs_radial_symmetry_2d(gaussian((7, 7), (3.2, 2.9), 1.3))
    assert type(d) is tuple and len(d) == 2
    assert all(type(x) is float and float(np.float32(x)) == x for x in d)
