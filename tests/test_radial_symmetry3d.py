"""The 3-D radial-symmetry estimator rs_radial_symmetry_3d."""

import re

import numpy as np
import pytest

import quorlin

FAILED = re.escape("3D radial symmetry localization failed")


def gaussian_window(shape, centre, sigma=1.5, amplitude=1.0, background=0.0):
    grid = np.indices(shape).astype(np.float64)
    r2 = sum((grid[a] - centre[a]) ** 2 for a in range(3))
    return (background + amplitude * np.exp(-r2 / (2 * sigma**2))).astype(np.float32)


def smoothed_differences(v):
    """Raw diagonal differences and their zero-padded 3x3x3 box means, in float64."""
    v = v.astype(np.float64)
    da = v[1:, 1:, 1:] - v[:-1, :-1, :-1]
    db = v[1:, :-1, :-1] - v[:-1, 1:, 1:]
    dc = v[1:, 1:, :-1] - v[:-1, :-1, 1:]

    def box(d):
        p = np.pad(d, 1)
        n0, n1, n2 = d.shape
        return sum(p[i : i + n0, j : j + n1, k : k + n2] for i in range(3) for j in range(3) for k in range(3)) / 27

    return (da, db, dc), (box(da), box(db), box(dc))


def reference_radial_symmetry(v):
    """A straightforward float64 version of the estimator (gradient-line least squares)."""
    (da, db, dc), (sa, sb, sc) = smoothed_differences(v)
    coords = [np.arange(n - 1) + 0.5 - (n - 1) / 2 for n in v.shape]
    c0, c1, c2 = np.meshgrid(*coords, indexing="ij")
    h = np.stack([(sa + sb) / 2 + (da + db) / 2, (sc - sb) / 2 + (dc - db) / 2, (sa - sc) / 2 + (da - dc) / 2])
    mag2 = sa**2 + sb**2 + sc**2
    total = mag2.sum()
    centroid = np.array([(mag2 * c).sum() / total for c in (c0, c1, c2)])
    nn = (h**2).sum(0)
    d2 = (c0 - centroid[0]) ** 2 + (c1 - centroid[1]) ** 2 + (c2 - centroid[2]) ** 2
    w = np.where((d2 > 0) & (nn > 0), mag2 / np.where(nn > 0, nn, 1) / np.sqrt(np.where(d2 > 0, d2, 1)), 0)
    m = 2 * (np.einsum("r...,s...->rs...", h, h) - nn * np.eye(3)[:, :, None, None, None])
    a = (w * m).sum(axis=(2, 3, 4))
    pts = np.stack([c0, c1, c2])
    b = (w * (m * pts[None]).sum(1)).sum(axis=(1, 2, 3))
    p = np.linalg.solve(a, b)
    return p + (np.array(v.shape) - 1) / 2


@pytest.mark.parametrize("shape", [(2, 5, 5), (5, 2, 5), (5, 5, 2), (0, 5, 5), (1, 1, 1), (3, 3, 2)])
def test_windows_below_three_voxels_fail(shape):
    with pytest.raises(ValueError, match=FAILED):
        quorlin.rs_radial_symmetry_3d(np.ones(shape, np.float32))


@pytest.mark.parametrize("value", [0.0, 1.0, -3.5])
def test_constant_window_fails(value):
    with pytest.raises(ValueError, match=FAILED):
        quorlin.rs_radial_symmetry_3d(np.full((7, 7, 7), value, np.float32))


@pytest.mark.parametrize("shape", [(7, 7, 7), (5, 7, 9), (9, 5, 7)])
def test_symmetric_spot_is_the_window_centre(shape):
    centre = [(n - 1) / 2 for n in shape]
    got = quorlin.rs_radial_symmetry_3d(gaussian_window(shape, centre, amplitude=100.0, background=3.0))
    np.testing.assert_allclose(got, centre, atol=1e-4)


def test_off_centre_gaussian_spots_within_a_hundredth_of_a_voxel():
    rng = np.random.default_rng(11)
    errors = []
    for _ in range(60):
        centre = 3.0 + rng.uniform(-0.5, 0.5, 3)
        got = quorlin.rs_radial_symmetry_3d(gaussian_window((7, 7, 7), centre))
        errors.append(np.asarray(got) - centre)
    errors = np.abs(np.array(errors))
    assert errors.max() < 0.01
    # Every axis is followed: a spot moved along one axis moves the estimate along that axis only.
    base = np.asarray(quorlin.rs_radial_symmetry_3d(gaussian_window((7, 7, 7), (3, 3, 3))))
    for axis in range(3):
        centre = [3.0, 3.0, 3.0]
        centre[axis] += 0.4
        moved = np.asarray(quorlin.rs_radial_symmetry_3d(gaussian_window((7, 7, 7), centre))) - base
        assert abs(moved[axis] - 0.4) < 0.01
        assert np.abs(np.delete(moved, axis)).max() < 0.01


def test_agrees_with_a_float64_reference_on_noisy_spots():
    rng = np.random.default_rng(5)
    for _ in range(20):
        shape = tuple(rng.integers(5, 10, 3))
        centre = (np.array(shape) - 1) / 2 + rng.uniform(-1, 1, 3)
        v = gaussian_window(shape, centre, sigma=rng.uniform(1.0, 2.0), amplitude=100.0, background=10.0)
        v += rng.normal(0, 2.0, shape).astype(np.float32)
        np.testing.assert_allclose(quorlin.rs_radial_symmetry_3d(v), reference_radial_symmetry(v), atol=2e-3)


@pytest.mark.parametrize("shape", [(7, 7, 7), (6, 8, 5)])
def test_singular_system_gives_the_weighted_centroid_in_index_units(shape):
    # A profile along axis 0 only: every gradient line runs along axis 0, the lines have no closest
    # point (det 0), and the estimate is the gradient-weighted centroid, shifted to index units.
    i = np.arange(shape[0], dtype=np.float32) ** 2
    v = np.broadcast_to(i[:, None, None], shape).astype(np.float32)
    _, (sa, sb, sc) = smoothed_differences(v)
    mag2 = sa**2 + sb**2 + sc**2
    coords = [np.arange(n - 1) + 0.5 - (n - 1) / 2 for n in shape]
    grids = np.meshgrid(*coords, indexing="ij")
    expected = [(mag2 * g).sum() / mag2.sum() + (n - 1) / 2 for g, n in zip(grids, shape)]
    got = quorlin.rs_radial_symmetry_3d(v)
    np.testing.assert_allclose(got, expected, atol=1e-4)
    assert got[0] > (shape[0] - 1) / 2  # towards the steep end, not a centred coordinate


def test_linear_ramp_gives_the_window_centre():
    v = np.broadcast_to(np.arange(7, dtype=np.float32)[:, None, None], (7, 7, 7)).copy()
    np.testing.assert_allclose(quorlin.rs_radial_symmetry_3d(v), (3.0, 3.0, 3.0), atol=1e-5)


def test_strided_views_read_like_their_contiguous_copy():
    v = gaussian_window((9, 8, 7), (4.3, 3.2, 2.9), amplitude=50.0)
    expected = quorlin.rs_radial_symmetry_3d(v)
    assert quorlin.rs_radial_symmetry_3d(np.asfortranarray(v)) == expected
    big = np.zeros((18, 8, 21), np.float32)
    big[::2, :, ::3] = v
    assert quorlin.rs_radial_symmetry_3d(big[::2, :, ::3]) == expected
    flipped = np.ascontiguousarray(v[::-1])
    assert quorlin.rs_radial_symmetry_3d(flipped[::-1]) == expected


def test_estimate_may_lie_outside_the_window():
    v = gaussian_window((7, 7, 7), (3, 3, 9.0), amplitude=100.0)
    assert quorlin.rs_radial_symmetry_3d(v)[2] > 6.0


@pytest.mark.parametrize(
    "bad",
    [np.zeros((7, 7, 7)), np.zeros((7, 7), np.float32), np.zeros((7, 7, 7, 1), np.float32), [[[1.0]]]],
)
def test_bad_arrays_raise_type_error(bad):
    kind = type(bad).__name__
    message = f"argument 'array': '{kind}' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError, match=re.escape(message)):
        quorlin.rs_radial_symmetry_3d(bad)


def test_result_is_a_tuple_of_three_floats():
    got = quorlin.rs_radial_symmetry_3d(array=gaussian_window((7, 7, 7), (3, 3, 3)))
    assert isinstance(got, tuple) and len(got) == 3 and all(type(x) is float for x in got)
