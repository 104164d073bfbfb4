"""3-D peak detection through rs_detect_peaks3d: search, tie rule, thinning, correlation scores,
localization and the order of argument errors."""

import re

import numpy as np
import pytest

import quorlin

F = np.float32
OFFSETS = [(d0, d1, d2) for d0 in (-1, 0, 1) for d1 in (-1, 0, 1) for d2 in (-1, 0, 1) if (d0, d1, d2) != (0, 0, 0)]
METHOD_MESSAGE = "Unknown localization method '{}'. Choose 'radial_symmetry' or 'gaussian_fitting'."


def identity_extent(shape):
    return tuple(float(x) for n in shape for x in (0, n - 1))


def detect(v, extent=None, threshold=0.5, min_distance=0.0, window=None, method=None, sigmas=None,
           correlation_threshold=None, max_num_peaks=None):
    if extent is None:
        extent = identity_extent(v.shape)
    return quorlin.rs_detect_peaks3d(v, extent, threshold, min_distance, window, method, sigmas,
                                     correlation_threshold, max_num_peaks)


def gaussian(shape, centre, sigma=1.5, amplitude=1.0):
    grid = np.indices(shape).astype(np.float64)
    return amplitude * np.exp(-sum((grid[a] - centre[a]) ** 2 for a in range(3)) / (2 * sigma**2))


# ---- NumPy references -------------------------------------------------------------------------

def tie_defeats(d0, d1, d2):
    """An equal neighbour later along axis 0, then axis 1, or earlier along axis 2 wins."""
    return d0 > 0 or (d0 == 0 and (d1 > 0 or (d1 == 0 and d2 < 0)))


def reference_maxima(v, threshold):
    """Voxel indices of the interior local maxima, in raster order."""
    n = v.shape
    if min(n) < 3:
        return np.zeros((0, 3), int)
    centre = v[1:-1, 1:-1, 1:-1]
    ok = ~(F(threshold) > centre)
    for d in OFFSETS:
        w = v[tuple(slice(1 + d[a], n[a] - 1 + d[a]) for a in range(3))]
        ok &= (centre > w) if tie_defeats(*d) else ~(w > centre)
    return np.argwhere(ok) + 1


def reference_positions(index, shape, extent):
    e = np.asarray(extent, F)
    pos = np.empty(index.shape, F)
    for r in range(3):
        pos[:, r] = ((e[2 * r + 1] - e[2 * r]) * index[:, r].astype(F)) / (F(shape[r]) - F(1)) + e[2 * r]
    return pos


def reference_thin(pos, min_distance):
    md2 = F(min_distance) * F(min_distance)
    kept = []
    for k, p in enumerate(pos):
        d = [pos[j] - p for j in kept]
        if not any(md2 > (x[0] * x[0] + x[1] * x[1]) + x[2] * x[2] for x in d):
            kept.append(k)
    return kept


def reference_detect(v, extent, threshold, min_distance):
    """(indices, positions, intensities) brightest first; intensities must be distinct."""
    index = reference_maxima(v, threshold)
    values = v[tuple(index.T)]
    assert len(np.unique(values)) == len(values)
    order = np.argsort(-values, kind="stable")
    index, values = index[order], values[order]
    pos = reference_positions(index, v.shape, extent)
    kept = reference_thin(pos, min_distance)
    return index[kept], pos[kept], values[kept]


def reference_template(shape, extent, sigmas):
    w = [(extent[2 * r + 1] - extent[2 * r]) / shape[r] for r in range(3)]
    u = np.arange(-2, 3)
    a = [u * w[r] / sigmas[r] for r in range(3)]
    k = np.exp(-0.5 * (a[0][:, None, None] ** 2 + a[1][None, :, None] ** 2 + a[2][None, None, :] ** 2))
    return k / k.sum()


def reference_correlation(v, extent, index, sigmas):
    k = reference_template(v.shape, extent, sigmas)
    scores = []
    for i in index:
        lo = [max(0, i[r] - 2) for r in range(3)]
        hi = [min(v.shape[r], i[r] + 3) for r in range(3)]
        a = v[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]].astype(np.float64).ravel()
        b = k[tuple(slice(lo[r] - i[r] + 2, hi[r] - i[r] + 2) for r in range(3))].ravel()
        da, db = a - a.mean(), b - b.mean()
        denom = (db @ db) * (da @ da)
        scores.append(0.0 if denom == 0 else (da @ db) / np.sqrt(denom))
    return np.array(scores)


def window_start(i, a, n):
    start = 0 if i < a // 2 else i - a // 2
    return n - a if start + a > n else start


def reference_gaussian_fit(w):
    """Five Gauss-Newton steps of a unit Gaussian centre fit, in float64, window index units."""
    peak = np.nanmax(w)
    if peak <= 0:
        return None
    grids = [g - (n - 1) / 2 for g, n in zip(np.indices(w.shape).astype(np.float64), w.shape)]
    c = np.zeros(3)
    for _ in range(5):
        d = [grids[r] - c[r] for r in range(3)]
        f = np.exp(-0.5 * (d[0] ** 2 + d[1] ** 2 + d[2] ** 2))
        rho = w / peak - f
        jac = np.stack([(f * d[r]).ravel() for r in range(3)])
        c = c + np.linalg.solve(jac @ jac.T, jac @ rho.ravel())
    return c + (np.array(w.shape) - 1) / 2


def reference_localize(v, extent, index, a, estimate):
    """Positions of the peaks that the estimator localizes (None for dropped ones)."""
    e = np.asarray(extent, F)
    out = []
    for i in index:
        start = [window_start(i[r], a, v.shape[r]) for r in range(3)]
        w = np.ascontiguousarray(v[start[0]:start[0] + a, start[1]:start[1] + a, start[2]:start[2] + a])
        q = estimate(w)
        if q is None:
            out.append(None)
            continue
        q = np.asarray(q, F)
        h = F(a) * F(0.5)
        if (np.abs(q) - h > h).any():
            q = np.array([i[r] - start[r] for r in range(3)], F)
        out.append(np.array([(q[r] + F(start[r])) * ((e[2 * r + 1] - e[2 * r]) / (F(v.shape[r]) - F(1))) + e[2 * r]
                             for r in range(3)], F))
    return out


def radial_symmetry_or_none(w):
    try:
        return quorlin.rs_radial_symmetry_3d(w)
    except ValueError:
        return None


def random_volume(rng, shape, spots):
    """Gaussian spots of distinct brightness on a little noise, with distinct voxel values."""
    v = rng.normal(0.0, 0.05, shape)
    for k in range(spots):
        centre = [rng.uniform(0, n - 1) for n in shape]
        v += gaussian(shape, centre, sigma=rng.uniform(0.8, 2.0), amplitude=2.0 + k * 0.37)
    return v.astype(F)


# ---- Search -----------------------------------------------------------------------------------

@pytest.mark.parametrize("shape", [(0, 5, 5), (5, 0, 5), (5, 5, 0), (1, 5, 5), (5, 2, 5), (5, 5, 2), (0, 0, 0)])
@pytest.mark.parametrize("options", [{}, {"method": "radial_symmetry", "sigmas": (1.0, 1.0, 1.0)}])
def test_volumes_without_interior_give_empty_results(shape, options):
    pos, inten, corr = detect(np.ones(shape, F), threshold=-np.inf, **options)
    assert pos.shape == (0, 3) and pos.dtype == F
    assert inten.shape == (0,) and inten.dtype == F
    assert corr is None


@pytest.mark.parametrize("axis", [0, 1, 2])
@pytest.mark.parametrize("at_end", [False, True])
def test_faces_are_never_candidates(axis, at_end):
    shape = (6, 7, 8)
    index = [3, 3, 3]
    index[axis] = shape[axis] - 1 if at_end else 0
    v = np.zeros(shape, F)
    v[tuple(index)] = 9.0
    assert len(detect(v)[0]) == 0
    v[tuple(index)] = 0.0
    index[axis] = shape[axis] - 2 if at_end else 1
    v[tuple(index)] = 5.0
    pos, inten, _ = detect(v)
    assert pos.tolist() == [index] and inten.tolist() == [5.0]


@pytest.mark.parametrize(
    "plateau, winner",
    [
        ([(3, 3, 3), (3, 3, 4)], (3, 3, 3)),  # along axis 2 the earlier voxel wins
        ([(3, 3, 3), (3, 4, 3)], (3, 4, 3)),  # along axis 1 the later voxel wins
        ([(3, 3, 3), (4, 3, 3)], (4, 3, 3)),  # along axis 0 the later voxel wins
        ([(3, 3, 3), (3, 4, 4)], (3, 4, 4)),  # diagonal: the later axis-1 index decides
        ([(3, 3, 4), (3, 4, 3)], (3, 4, 3)),
        ([(3, 3, 3), (4, 2, 4)], (4, 2, 4)),
        ([(a, b, c) for a in (3, 4) for b in (3, 4) for c in (3, 4)], (4, 4, 3)),
    ],
)
def test_equal_plateaus_keep_exactly_one_peak(plateau, winner):
    v = np.zeros((8, 8, 8), F)
    for p in plateau:
        v[p] = 2.0
    pos, inten, _ = detect(v)
    assert pos.tolist() == [list(winner)] and inten.tolist() == [2.0]


def test_nan_voxels_and_threshold_equality():
    v = np.zeros((7, 7, 7), F)
    v[2, 2, 2] = 5.0
    v[1, 2, 2] = np.nan  # an earlier neighbour: a tie the centre survives
    v[4, 4, 4] = 4.0
    v[5, 4, 4] = np.nan  # a later neighbour: the tie defeats the centre
    v[3, 5, 2] = np.nan  # NaN itself: its later neighbours tie with it
    pos, inten, _ = detect(v, threshold=5.0)
    assert pos.tolist() == [[2, 2, 2]]
    assert len(detect(v, threshold=np.nextafter(F(5.0), F(6.0)))[0]) == 0


def test_positions_follow_the_extent():
    v = np.zeros((5, 9, 7), F)
    v[1, 5, 3] = 3.0
    v[3, 2, 5] = 2.0
    extent = (1.5, 3.25, -2.0, 5.0, 10.0, 0.1)
    pos, _, _ = detect(v, extent=extent)
    expected = reference_positions(np.array([[1, 5, 3], [3, 2, 5]]), v.shape, extent)
    assert np.array_equal(pos, expected)
    assert pos[0, 2] > pos[1, 2]  # a decreasing extent gives decreasing positions


def test_thinning_keeps_peaks_exactly_min_distance_apart():
    v = np.zeros((12, 12, 12), F)
    v[3, 3, 3] = 5.0
    v[6, 7, 3] = 4.0  # 5 units from the first
    v[9, 7, 5] = 3.0  # sqrt(13) from the second, sqrt(49+20) from the first
    assert len(detect(v, min_distance=5.0)[0]) == 2
    pos, inten, _ = detect(v, min_distance=np.nextafter(F(5.0), F(6.0)))
    assert inten.tolist() == [5.0, 3.0]
    # A negative distance acts through its square; 0 keeps everything.
    assert detect(v, min_distance=-5.01)[1].tolist() == [5.0, 3.0]
    assert len(detect(v, min_distance=0.0)[0]) == 3
    # Distances are physical: doubling the extent halves the effect of min_distance.
    assert len(detect(v, extent=(0, 22, 0, 22, 0, 22), min_distance=7.3)[0]) == 2


@pytest.mark.parametrize("seed", range(6))
def test_search_matches_a_numpy_reference(seed):
    rng = np.random.default_rng(seed)
    shape = tuple(rng.integers(8, 26, 3))
    v = random_volume(rng, shape, spots=int(rng.integers(5, 25)))
    extent = tuple(rng.uniform(-5, 5, 6))
    threshold, md = float(rng.uniform(0.0, 0.5)), float(rng.uniform(0.0, 1.0))
    _, ref_pos, ref_int = reference_detect(v, extent, threshold, md)
    pos, inten, corr = detect(v, extent=extent, threshold=threshold, min_distance=md)
    assert np.array_equal(pos, ref_pos) and np.array_equal(inten, ref_int) and corr is None
    cap = int(rng.integers(0, len(ref_int) + 2))
    pos, inten, _ = detect(v, extent=extent, threshold=threshold, min_distance=md, max_num_peaks=cap)
    assert np.array_equal(pos, ref_pos[:cap]) and np.array_equal(inten, ref_int[:cap])


@pytest.mark.parametrize("layout", [np.ascontiguousarray, np.asfortranarray])
def test_ties_on_integer_volumes_match_the_reference(layout):
    rng = np.random.default_rng(3)
    for _ in range(10):
        v = rng.integers(0, 3, (6, 7, 21)).astype(F)
        expected = {tuple(i) for i in reference_maxima(v, 1.0)}
        pos, _, _ = detect(layout(v), threshold=1.0)
        assert {tuple(p) for p in pos.astype(int)} == expected


def test_strided_volumes_read_like_their_copy():
    rng = np.random.default_rng(9)
    v = random_volume(rng, (14, 16, 18), spots=12)
    expected = detect(v, min_distance=1.0)
    for view in (np.asfortranarray(v), v[::-1, :, ::-1].copy()[::-1, :, ::-1], v.transpose(2, 0, 1).copy().transpose(1, 2, 0)):
        got = detect(view, min_distance=1.0)
        assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])


# ---- Correlation ------------------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(3))
def test_correlation_scores_match_a_numpy_reference(seed):
    rng = np.random.default_rng(100 + seed)
    shape = tuple(rng.integers(6, 20, 3))
    v = random_volume(rng, shape, spots=10)
    extent = tuple(rng.uniform(-5, 5, 6))
    sigmas = tuple(rng.uniform(0.3, 2.0, 3))
    index, _, _ = reference_detect(v, extent, 0.2, 0.0)
    pos, inten, corr = detect(v, extent=extent, threshold=0.2, sigmas=sigmas)
    np.testing.assert_allclose(corr, reference_correlation(v, extent, index, sigmas), atol=2e-5)
    # Filtering keeps the order and removes low or NaN-free failing scores.
    cut = float(np.median(corr))
    fpos, finten, fcorr = detect(v, extent=extent, threshold=0.2, sigmas=sigmas, correlation_threshold=cut)
    keep = corr >= F(cut)
    assert np.array_equal(fpos, pos[keep]) and np.array_equal(fcorr, corr[keep])


@pytest.mark.parametrize("axis", [0, 1, 2])
def test_template_is_cut_at_the_volume_face(axis):
    shape = (9, 10, 11)
    index = [4, 5, 5]
    index[axis] = 1
    v = (np.random.default_rng(axis).uniform(0, 1, shape)).astype(F)
    v[tuple(index)] = 5.0
    extent = identity_extent(shape)
    pos, _, corr = detect(v, threshold=4.0, sigmas=(1.0, 1.5, 2.0))
    assert pos.tolist() == [index]
    np.testing.assert_allclose(corr, reference_correlation(v, extent, np.array([index]), (1.0, 1.5, 2.0)), atol=2e-6)


def test_neighbourhood_proportional_to_the_template_scores_one():
    shape = (9, 9, 9)
    extent = (0.0, 4.0, -1.0, 6.0, 2.0, 2.5)
    sigmas = (0.7, 1.1, 0.2)
    v = np.zeros(shape, F)
    v[2:7, 2:7, 2:7] = 3.0 * reference_template(shape, extent, sigmas) + 7.0
    pos, _, corr = detect(v, extent=extent, threshold=5.0, sigmas=sigmas)
    assert len(corr) == 1
    assert abs(corr[0] - 1.0) < 1e-5


def test_scores_are_unchanged_when_widths_and_extent_scale_together():
    rng = np.random.default_rng(21)
    v = random_volume(rng, (12, 13, 14), spots=8)
    extent = (1.0, 3.0, -2.0, 7.0, 0.5, 4.0)
    sigmas = (0.3, 0.9, 0.4)
    _, _, corr = detect(v, extent=extent, sigmas=sigmas)
    _, _, doubled = detect(v, extent=tuple(2 * e for e in extent), sigmas=tuple(2 * s for s in sigmas))
    assert len(corr) > 2 and np.array_equal(corr, doubled)


@pytest.mark.parametrize("width", [np.inf, 1e30])
def test_flat_template_scores_zero(width):
    # A detected peak always beats 13 of its neighbours, so its neighbourhood is never constant;
    # the flat side of the correlation is the template of infinite widths.
    v = np.zeros((9, 9, 9), F)
    v[4, 4, 4], v[3, 4, 4] = 3.0, 1.0
    _, _, corr = detect(v, sigmas=(width, width, width))
    assert len(corr) == 1 and abs(corr[0]) < 1e-6


def test_zero_width_gives_nan_scores_that_fail_every_threshold():
    v = np.zeros((7, 7, 7), F)
    v[3, 3, 3] = 1.0
    _, _, corr = detect(v, sigmas=(0.0, 1.0, 1.0))
    assert np.isnan(corr).all() and len(corr) == 1
    pos, _, corr = detect(v, sigmas=(0.0, 1.0, 1.0), correlation_threshold=-1.0)
    assert len(pos) == 0 and corr is None


@pytest.mark.parametrize(
    "sigmas, threshold, count",
    [(None, 0.5, 0), (None, 0.0, 2), (None, -1.0, 2), (None, float("nan"), 0), ((1.0, 1.0, 1.0), None, 2)],
)
def test_correlation_threshold_without_scores_uses_zero(sigmas, threshold, count):
    v = np.zeros((7, 7, 9), F)
    v[2, 2, 2] = 2.0
    v[4, 4, 6] = 1.0
    pos, _, corr = detect(v, sigmas=sigmas, correlation_threshold=threshold)
    assert len(pos) == count
    assert (corr is None) == (sigmas is None or count == 0)


def test_third_result_is_none_without_scores_and_an_array_with_them():
    v = np.zeros((7, 7, 7), F)
    assert detect(v, sigmas=(1.0, 1.0, 1.0))[2] is None  # scoring on, no peak found
    v[3, 3, 3] = 1.0
    assert detect(v)[2] is None
    corr = detect(v, sigmas=(1.0, 1.0, 1.0))[2]
    assert corr.dtype == F and corr.shape == (1,)
    assert detect(v, sigmas=(1.0, 1.0, 1.0), max_num_peaks=0)[2] is None


# ---- Localization -----------------------------------------------------------------------------

def spots_volume(shape, centres, sigma=1.5):
    v = np.zeros(shape)
    for k, c in enumerate(centres):
        v += gaussian(shape, c, sigma=sigma, amplitude=100.0 + k)
    return v.astype(F)


def test_radial_symmetry_locates_off_centre_spots_within_a_hundredth():
    rng = np.random.default_rng(4)
    grid = [(a, b, c) for a in (8, 20) for b in (8, 20, 32) for c in (8, 20, 32)]
    centres = [np.array(g) + rng.uniform(-0.45, 0.45, 3) for g in grid]
    v = spots_volume((29, 41, 41), centres)
    pos, inten, _ = detect(v, threshold=10.0, method="radial_symmetry", window=7)
    assert len(pos) == len(centres)
    for p in pos:
        err = np.abs(np.array(centres) - p).max(1)
        assert err.min() < 0.01


@pytest.mark.parametrize("method", ["radial_symmetry", "gaussian_fitting"])
@pytest.mark.parametrize("window", [5, 7, 6])
def test_localization_matches_a_reference_with_clipped_windows(method, window):
    rng = np.random.default_rng(window)
    shape = (12, 15, 17)
    # Spots near every face: peaks at index 1 and N - 2 get windows shifted to stay inside.
    centres = [(1.2, 7, 8), (10.4, 7.3, 8), (6, 1.1, 3), (6, 13.2, 14), (3, 8, 1.3), (9, 6, 15.4), (6, 7.5, 8.2)]
    v = spots_volume(shape, centres, sigma=1.0) + rng.normal(0, 0.5, shape).astype(F)
    extent = (0.0, 5.5, 2.0, -3.0, 1.0, 9.0)
    index, _, inten = reference_detect(v, extent, 20.0, 0.0)
    assert {1, shape[0] - 2} <= set(index[:, 0]) and 1 in index[:, 1] and shape[2] - 2 in index[:, 2]
    if method == "radial_symmetry":
        expected = reference_localize(v, extent, index, window, radial_symmetry_or_none)
    else:
        expected = reference_localize(v, extent, index, window, reference_gaussian_fit)
    pos, got_int, _ = detect(v, extent=extent, threshold=20.0, window=window, method=method)
    assert np.array_equal(got_int, inten[[e is not None for e in expected]])
    expected = np.array([e for e in expected if e is not None])
    if method == "radial_symmetry":
        assert np.array_equal(pos, expected)
    else:
        np.testing.assert_allclose(pos, expected, atol=2e-4)


def test_runaway_estimate_falls_back_to_the_peak_voxel():
    # A dim peak whose window holds the flank of a bright spot beyond the window edge: the
    # gradient lines meet outside, and the estimate is replaced by the peak voxel itself.
    for dim, bright, start in [((8, 10, 10), (12.5, 10, 10), 5), ((1, 10, 10), (8.5, 10, 10), 0)]:
        v = gaussian((20, 20, 20), bright, sigma=1.0, amplitude=100.0)
        v[dim] += 1.0
        v = v.astype(F)
        window = v[start:start + 7, 7:14, 7:14]
        assert quorlin.rs_radial_symmetry_3d(np.ascontiguousarray(window))[0] > 7.0
        pos, inten, _ = detect(v, threshold=0.5, window=7, method="radial_symmetry")
        assert len(pos) == 2 and inten[1] < 2.0
        assert pos[1].tolist() == list(map(float, dim))


def test_budget_counts_output_records_and_skips_failed_peaks():
    # Under Gaussian fitting, a peak whose window has no positive value has no estimate.
    v = np.full((14, 20, 50), -10.0, F)
    v[10, 10, 10] = 10.0  # localized
    v[10, 10, 25] = -1.0  # window maximum -1: dropped
    v[3, 10, 40] = -2.0  # localized thanks to a positive voxel on the face, inside its window
    v[0, 10, 40] = 1.0
    for cap, count in [(None, 2), (3, 2), (2, 2), (1, 1), (0, 0)]:
        _, inten, _ = detect(v, threshold=-5.0, method="gaussian_fitting", max_num_peaks=cap)
        assert inten.tolist() == [10.0, -2.0][:count]
    # Without a method the cap is a plain cut of the brightest peaks.
    assert detect(v, threshold=-5.0, max_num_peaks=2)[1].tolist() == [10.0, -1.0]


@pytest.mark.parametrize("window", [0, 1, 2, 13])
def test_windows_that_cannot_localize_give_empty_results(window):
    v = spots_volume((12, 12, 12), [(6, 6, 6)])
    pos, inten, corr = detect(v, window=window, method="radial_symmetry", sigmas=(1.0, 1.0, 1.0))
    assert pos.shape == (0, 3) and inten.shape == (0,) and corr is None


def test_localization_carries_the_correlation_scores():
    rng = np.random.default_rng(8)
    v = random_volume(rng, (16, 18, 20), spots=10)
    sigmas = (1.0, 1.2, 0.8)
    _, inten, corr = detect(v, threshold=0.5, sigmas=sigmas)
    lpos, linten, lcorr = detect(v, threshold=0.5, sigmas=sigmas, method="gaussian_fitting", window=5)
    assert 0 < len(linten) <= len(inten)
    by_intensity = dict(zip(inten.tolist(), corr.tolist()))
    assert lcorr.tolist() == [by_intensity[i] for i in linten.tolist()]


def test_even_and_default_window_sizes_are_accepted():
    v = spots_volume((15, 15, 15), [(7.2, 6.9, 7.1)])
    default = detect(v, threshold=10.0, method="radial_symmetry", window=None)
    assert np.array_equal(default[0], detect(v, threshold=10.0, method="radial_symmetry", window=7)[0])
    assert len(detect(v, threshold=10.0, method="radial_symmetry", window=4)[0]) == 1


# ---- Arguments and the timing of their errors ---------------------------------------------------

VOLUME = np.zeros((7, 7, 7), F)
EXTENT = identity_extent(VOLUME.shape)


def call(**changes):
    args = dict(array=VOLUME, extent=EXTENT, threshold=0.5, min_distance=0.0, localization_window_size=None,
                localization_method=None, correlation_sigmas=None, correlation_threshold=None, max_num_peaks=None)
    args.update(changes)
    return quorlin.rs_detect_peaks3d(**args)


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"array": np.zeros((7, 7, 7))}, TypeError, "argument 'array': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"array": np.zeros((7, 7), F)}, TypeError, "argument 'array': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"extent": list(EXTENT)}, TypeError, "argument 'extent': 'list' object cannot be converted to 'PyTuple'"),
        ({"threshold": "x"}, TypeError, "argument 'threshold': must be real number, not str"),
        ({"localization_window_size": 7.0}, TypeError, "argument 'localization_window_size': 'float' object cannot be interpreted as an integer"),
        ({"localization_method": 3}, TypeError, "argument 'localization_method': 'int' object cannot be converted to 'PyString'"),
        ({"correlation_sigmas": [1.0, 1.0, 1.0]}, TypeError, "argument 'correlation_sigmas': 'list' object cannot be converted to 'PyTuple'"),
        ({"max_num_peaks": -1}, OverflowError, ""),
        ({"extent": EXTENT[:5]}, IndexError, "tuple index out of range"),
        ({"extent": (0, 1, "a", 3, 4, 5)}, TypeError, "must be real number, not str"),
        ({"correlation_sigmas": (1.0, 1.0)}, IndexError, "tuple index out of range"),
        ({"localization_method": "Radial_symmetry"}, ValueError, METHOD_MESSAGE.format("Radial_symmetry")),
        ({"localization_method": "radial symmetry"}, ValueError, METHOD_MESSAGE.format("radial symmetry")),
        ({"localization_method": "gaussian"}, ValueError, METHOD_MESSAGE.format("gaussian")),
    ],
)
def test_argument_errors(changes, error, message):
    with pytest.raises(error, match="^" + re.escape(message)) as info:
        call(**changes)
    if error is TypeError and message.startswith("argument"):
        assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize(
    "changes, error",
    [
        # Conversions run in parameter order, all before any tuple item is read.
        ({"extent": [0.0], "threshold": "x"}, "argument 'extent'"),
        ({"extent": EXTENT[:5], "max_num_peaks": -1.5}, "argument 'max_num_peaks'"),
        ({"extent": EXTENT[:5], "correlation_sigmas": [1.0]}, "argument 'correlation_sigmas'"),
        # The extent is read before the widths, the widths before the method check.
        ({"extent": EXTENT[:5], "correlation_sigmas": (1.0, "a", 1.0)}, "tuple index out of range"),
        ({"correlation_sigmas": (1.0, "a", 1.0), "localization_method": "x"}, "must be real number, not str"),
        ({"extent": (0, 1, "a"), "localization_method": "x"}, "must be real number, not str"),
        ({"correlation_sigmas": (1.0,), "localization_method": "x"}, "tuple index out of range"),
    ],
)
def test_errors_come_in_the_order_of_the_reads(changes, error):
    with pytest.raises((TypeError, IndexError), match="^" + re.escape(error)):
        call(**changes)


def test_tuple_items_are_read_in_order_and_extra_items_ignored():
    reads = []

    class Number:
        def __init__(self, name, value):
            self.name, self.value = name, value

        def __float__(self):
            reads.append(self.name)
            return self.value

    extent = tuple(Number(f"e{k}", float(x)) for k, x in enumerate(EXTENT)) + ("ignored",)
    sigmas = (Number("s0", 1.0), Number("s1", 1.0), Number("s2", 1.0), "ignored")
    call(extent=extent, correlation_sigmas=sigmas)
    assert reads == ["e0", "e1", "e2", "e3", "e4", "e5", "s0", "s1", "s2"]


def test_method_is_checked_even_when_no_peak_is_found():
    with pytest.raises(ValueError, match=re.escape(METHOD_MESSAGE.format(""))):
        call(localization_method="", max_num_peaks=0)


def test_keyword_and_positional_calls_agree():
    v = spots_volume((12, 12, 12), [(5.3, 6.1, 5.8)])
    positional = quorlin.rs_detect_peaks3d(v, EXTENT, 10.0, 0.0, 5, "radial_symmetry", (1.0, 1.0, 1.0), None, None)
    keyword = call(array=v, threshold=10.0, localization_window_size=5, localization_method="radial_symmetry",
                   correlation_sigmas=(1.0, 1.0, 1.0))
    for a, b in zip(positional, keyword):
        assert np.array_equal(a, b)
    with pytest.raises(TypeError):
        quorlin.rs_detect_peaks3d(v, EXTENT, 10.0, 0.0, 5, "radial_symmetry", None, None)


def test_results_are_writeable_and_independent():
    v = spots_volume((12, 12, 12), [(5.3, 6.1, 5.8)])
    before = v.copy()
    pos, inten, corr = detect(v, threshold=10.0, sigmas=(1.0, 1.0, 1.0), method="radial_symmetry")
    pos[:] = 0
    inten[:] = 0
    corr[:] = 0
    assert np.array_equal(v, before)
