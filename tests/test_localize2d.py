"""rs_detect_peaks with localization: validation, border, crowding, estimators, runaway guard,
budget, and a randomized comparison with a plain reference of the whole pipeline."""

import re

import numpy as np
import pytest

import peaks2d_reference as ref
import quorlin

f32 = np.float32
detect = quorlin.rs_detect_peaks
WINDOW_MESSAGE = "localization_window_size must be an odd integer >= 3"


def method_message(name):
    return re.escape(f"Unknown localization method '{name}'. Choose 'radial_symmetry' or 'gaussian_fitting'.")


def spot_frame(shape=(15, 15), centre=(7.3, 6.8), sigma=1.3, amplitude=50.0, background=1.0):
    yy, xx = np.mgrid[0 : shape[0], 0 : shape[1]]
    g = np.exp(-((yy - centre[0]) ** 2 + (xx - centre[1]) ** 2) / (2 * sigma**2))
    return (background + amplitude * g).astype(f32)


def pixel_extent(frame):
    return (0, frame.shape[0] - 1, 0, frame.shape[1] - 1)


def run(frame, method="radial_symmetry", window=7, budget=None, threshold=10.0, extent=None):
    return detect(frame, extent or pixel_extent(frame), threshold, 0.0, method, window, budget)


@pytest.mark.parametrize("window", [0, 1, 2, 4, 8, 2**63])
def test_bad_window_sizes_are_rejected(window):
    with pytest.raises(ValueError, match=f"^{re.escape(WINDOW_MESSAGE)}$"):
        run(spot_frame(), window=window)


def test_window_none_means_seven_and_three_is_accepted():
    frame = spot_frame()
    np.testing.assert_array_equal(run(frame, window=None)[0], run(frame, window=7)[0])
    assert run(frame, window=3)[0].shape == (1, 2)


@pytest.mark.parametrize("name", ["Radial_symmetry", "radial symmetry", "radial", "gaussian_fit", "", " gaussian_fitting", "GAUSSIAN_FITTING"])
def test_unknown_method_names_are_quoted_back(name):
    with pytest.raises(ValueError, match=f"^{method_message(name)}$"):
        run(spot_frame(), method=name)


def test_window_size_is_checked_before_the_method_even_without_peaks():
    empty = np.zeros((5, 5), f32)
    with pytest.raises(ValueError, match=re.escape(WINDOW_MESSAGE)):
        run(empty, method="nope", window=4)
    with pytest.raises(ValueError, match=method_message("nope")):
        run(empty, method="nope", window=5)


@pytest.mark.parametrize("where", [(2, 7), (7, 2), (12, 7), (7, 12)])
def test_window_must_fit_inside_the_frame(where):
    frame = spot_frame(centre=where)
    assert run(frame, method="gaussian_fitting", window=7)[0].shape == (0, 2)
    pos, inten = run(frame, method="gaussian_fitting", window=3)
    assert pos.shape == (1, 2) and inten[0] == frame[where]


def test_frame_smaller_than_window_yields_nothing():
    frame = spot_frame(shape=(6, 6), centre=(3, 3))
    pos, inten = run(frame, window=7)
    assert pos.shape == (0, 2) and inten.shape == (0,)


@pytest.mark.parametrize("method", ["radial_symmetry", "gaussian_fitting"])
def test_localized_position_is_pixel_plus_estimator_offset(method):
    frame = spot_frame(centre=(7.3, 6.8))
    pos, inten = run(frame, method=method, extent=(2.0, 16.0, 10.0, -18.0))
    assert inten.tolist() == [frame[7, 7]]  # the peak pixel's value, not a fitted amplitude
    window = frame[4:11, 4:11]
    d = ref.radial_symmetry(window) if method == "radial_symmetry" else ref.gaussian_fit(window)
    expect = [(f32(7) + d[0]) * f32(1) + f32(2), (f32(7) + d[1]) * f32(-2) + f32(10)]
    np.testing.assert_allclose(pos[0], expect, rtol=0, atol=0 if method == "radial_symmetry" else 2e-5)
    assert abs(pos[0, 0] - 2.3 - 7) < 0.1 and abs(pos[0, 1] - (10 - 2 * 6.8)) < 0.2


def test_gaussian_fit_matches_its_definition():
    rng = np.random.default_rng(3)
    for _ in range(20):
        frame = spot_frame(shape=(9, 9), centre=tuple(rng.uniform(3.6, 4.4, 2)), sigma=rng.uniform(0.8, 2),
                           amplitude=rng.uniform(6, 100), background=rng.uniform(-5, 5))
        pos, _ = run(frame, method="gaussian_fitting", window=9, threshold=5.0)
        d = ref.gaussian_fit(frame)
        np.testing.assert_allclose(pos[0], [f32(4) + d[0], f32(4) + d[1]], rtol=0, atol=2e-5)


def test_gaussian_fit_drops_non_positive_windows_that_radial_symmetry_keeps():
    frame = spot_frame(centre=(7.2, 7.1), background=-100.0, amplitude=40.0)
    assert frame.max() < 0
    assert run(frame, method="gaussian_fitting", threshold=-1000.0)[0].shape == (0, 2)
    pos, _ = run(frame, method="radial_symmetry", threshold=-1000.0)
    assert pos.shape == (1, 2) and np.all(np.isfinite(pos))


def with_extra_maxima(extra, value=30.0):
    frame = spot_frame(centre=(7.3, 7.2), background=0.0)
    for p in extra:
        frame[p] = value
    return frame


@pytest.mark.parametrize(
    "extra, crowded",
    [
        ([], False),
        ([(4, 4)], False),  # peak plus one other maximum: still localized
        ([(4, 4), (10, 10)], True),  # three separate positive maxima
        ([(4, 4), (4, 5)], True),  # peak plus a flat plateau of two
        ([(10, 4), (10, 5), (10, 6)], True),
    ],
)
def test_crowded_windows_keep_the_pixel_position(extra, crowded):
    frame = with_extra_maxima(extra)
    for method in ["radial_symmetry", "gaussian_fitting"]:
        pos, _ = run(frame, method=method, threshold=40.0)
        assert pos.shape == (1, 2)
        assert (pos[0].tolist() == [7.0, 7.0]) == crowded


def test_non_positive_maxima_do_not_crowd():
    frame = with_extra_maxima([(4, 4), (10, 10), (4, 10)], value=0.0) - f32(0.0)
    frame[frame < 1e-3] = -5.0
    frame[4, 4] = frame[10, 10] = frame[4, 10] = -1.0
    assert ref.positive_maxima_count(frame[4:11, 4:11]) == 1
    pos, _ = run(frame, threshold=40.0)
    assert pos[0].tolist() != [7.0, 7.0]


def runaway_frame():
    """A small bump on the flank of a large spot centred 4 pixels below it: the radial-symmetry
    estimate of the bump's window points at the large spot, beyond half the window."""
    yy, xx = np.mgrid[0:21, 0:15]
    frame = np.round(100 * np.exp(-((yy - 11) ** 2 + (xx - 7) ** 2) / 18.0)).astype(f32)
    frame[7, 7] += 25
    return frame


def test_runaway_estimate_falls_back_to_the_centroid():
    frame = runaway_frame() + f32(3)
    window = frame[4:11, 4:11]
    assert ref.radial_symmetry(window)[0] > 3.5
    d = ref.centroid(window, 3)
    pos, _ = detect(frame, (0, 20, 0, 14), 40.0, 0.0, "radial_symmetry", 7, None)
    bump = [p for p, i in zip(pos.tolist(), range(len(pos))) if abs(p[0] - 8.3) < 1]
    assert bump == [[f32(7) + d[0], f32(7) + d[1]]]


def test_runaway_estimate_in_a_zero_sum_window_keeps_the_pixel_position():
    frame = runaway_frame()
    frame -= frame[4:11, 4:11].sum() / f32(49)
    assert frame[4:11, 4:11].sum() == 0 and ref.radial_symmetry(frame[4:11, 4:11])[0] > 3.5
    pos, inten = detect(frame, (0, 20, 0, 14), -1000.0, 0.0, "radial_symmetry", 7, None)
    assert [7.0, 7.0] in pos.tolist()


@pytest.mark.parametrize("method", ["radial_symmetry", "gaussian_fitting"])
def test_nan_in_window_gives_nan_position_but_keeps_the_peak(method):
    frame = spot_frame()
    frame[4, 4] = np.nan
    pos, inten = run(frame, method=method)
    assert pos.shape == (1, 2) and np.all(np.isnan(pos)) and inten[0] == frame[7, 7]


def budget_frame():
    """On a background of -100: the brightest peak at the border (dropped with window 7); B; F,
    whose window lies wholly below 0 (the Gaussian fit fails); P, dimmer, with B inside its
    window; and E, far and below 0."""
    yy, xx = np.mgrid[0:30, 0:30]
    frame = np.full((30, 30), -100.0, f32)
    for (r, c), a in [((2, 15), 200), ((10, 10), 150), ((10, 25), 90), ((10, 13), 80), ((22, 22), 70)]:
        frame += f32(a) * np.exp(-((yy - r) ** 2 + (xx - c) ** 2) / 2.0).astype(f32)
    return frame


B, F, P, E = (10, 10), (10, 25), (10, 13), (22, 22)


@pytest.mark.parametrize(
    "method, budget, expected",
    [
        ("radial_symmetry", None, [B, F, P, E]),
        ("radial_symmetry", 2, [B, F]),
        ("radial_symmetry", 3, [B, F, P]),
        ("gaussian_fitting", None, [B, P]),
        ("gaussian_fitting", 2, [B, P]),
        ("gaussian_fitting", 1, [B]),
        ("gaussian_fitting", 0, []),
        ("radial_symmetry", 0, []),
    ],
)
def test_budget_counts_only_kept_peaks(method, budget, expected):
    frame = budget_frame()
    pos, inten = detect(frame, (0, 29, 0, 29), -50.0, 0.0, method, 7, budget)
    assert inten.tolist() == [frame[p] for p in expected]
    assert pos.shape == (len(expected), 2)


@pytest.mark.parametrize("seed", range(16))
def test_random_frames_match_reference_pipeline(seed):
    rng = np.random.default_rng(900 + seed)
    r, c = rng.integers(6, 70, 2)
    while True:
        frame = rng.normal(0, 0.5, (r, c)).astype(f32)
        yy, xx = np.mgrid[0:r, 0:c]
        for _ in range(rng.integers(1, 40)):
            y, x, s = rng.uniform(0, r), rng.uniform(0, c), rng.uniform(0.8, 2.0)
            frame += f32(rng.uniform(2, 30)) * np.exp(-((yy - y) ** 2 + (xx - x) ** 2) / (2 * s * s)).astype(f32)
        if ref.maxima_distinct(frame):
            break
    extent = tuple(float(v) for v in rng.uniform(-20, 20, 4))
    method = ["radial_symmetry", "gaussian_fitting"][seed % 2]
    window = int(rng.choice([3, 5, 7, 9]))
    budget = [None, 0, 1, 5, int(rng.integers(1, 80))][seed % 5]
    threshold = float(rng.uniform(-0.5, 3))
    md = float(rng.uniform(0, 3) * abs(extent[1] - extent[0]) / r)
    pos, inten = detect(frame, extent, threshold, md, method, window, budget)
    expect = ref.localize(frame, ref.detect(frame, extent, threshold, md), extent, window, method, budget)
    epos, einten = ref.as_arrays(expect)
    np.testing.assert_array_equal(inten, einten)
    if method == "radial_symmetry":
        np.testing.assert_array_equal(pos, epos)
    else:
        # The Gaussian fit's sums may accumulate in another order: rounding-level differences.
        scale = max(abs(extent[1] - extent[0]) / r, abs(extent[3] - extent[2]) / c)
        np.testing.assert_allclose(pos, epos, rtol=0, atol=1e-3 * scale + 1e-4 * np.abs(epos).max(initial=0))


def test_many_peaks_with_budget_match_the_sequential_definition():
    # Enough peaks that localization runs in several parallel batches.
    rng = np.random.default_rng(11)
    yy, xx = np.mgrid[0:200, 0:200]
    while True:
        frame = rng.random((200, 200)).astype(f32)
        for y, x in rng.uniform(0, 200, (300, 2)):
            frame += f32(rng.uniform(2, 10)) * np.exp(-((yy - y) ** 2 + (xx - x) ** 2) / 3.0).astype(f32)
        if ref.maxima_distinct(frame):
            break
    for budget in [None, 1, 63, 64, 65, 200, 1000]:
        extent = (0, 199, 0, 199)
        pos, inten = detect(frame, extent, 1.5, 2.0, "radial_symmetry", 5, budget)
        expect = ref.localize(frame, ref.detect(frame, extent, 1.5, 2.0), extent, 5, "radial_symmetry", budget)
        epos, einten = ref.as_arrays(expect)
        np.testing.assert_array_equal(inten, einten)
        np.testing.assert_array_equal(pos, epos)
