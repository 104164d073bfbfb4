"""rs_detect_peaks without localization: threshold, tie rule, border, extent, thinning, arguments."""

import re

import numpy as np
import pytest

import peaks2d_reference as ref
import quorlin

f32 = np.float32
detect = quorlin.rs_detect_peaks


def peaks(frame, extent=None, threshold=0.5, min_distance=0.0, max_num_peaks=None):
    """Positions and intensities with pixel-unit extent unless given."""
    if extent is None:
        extent = (0, frame.shape[0] - 1, 0, frame.shape[1] - 1)
    return detect(frame, extent, threshold, min_distance, None, None, max_num_peaks)


def pixels(frame, **kw):
    pos, _ = peaks(frame, **kw)
    return sorted((int(a), int(b)) for a, b in pos)


def blank(r=8, c=8):
    return np.zeros((r, c), f32)


@pytest.mark.parametrize("shape", [(0, 0), (0, 5), (5, 0), (1, 9), (2, 9), (9, 1), (9, 2), (2, 2)])
def test_frames_without_interior_give_empty_arrays(shape):
    frame = np.full(shape, 7, f32)
    pos, inten = detect(frame, (0, 1, 0, 1), 0.0, 1.0, None, None, None)
    assert pos.shape == (0, 2) and inten.shape == (0,)
    assert pos.dtype == inten.dtype == np.float32
    pos, inten = detect(frame, (0, 1, 0, 1), 0.0, 1.0, "radial_symmetry", 3, 2)
    assert pos.shape == (0, 2) and inten.shape == (0,)


@pytest.mark.parametrize(
    "where, reported",
    [((0, 4), False), ((7, 4), False), ((4, 0), False), ((4, 7), False), ((1, 4), True), ((4, 6), True)],
)
def test_border_pixels_are_never_candidates(where, reported):
    frame = blank()
    frame[where] = 1000.0
    assert pixels(frame) == ([where] if reported else [])


@pytest.mark.parametrize("threshold, reported", [(5.0, True), (np.nextafter(f32(5), f32(6)), False), (-1e30, True)])
def test_threshold_is_inclusive_and_absolute(threshold, reported):
    frame = blank()
    frame[3, 3] = 5.0
    assert pixels(frame, threshold=float(threshold)) == ([(3, 3)] if reported else [])


@pytest.mark.parametrize(
    "plateau, winner",
    [
        ([(3, 3), (3, 4)], (3, 4)),  # horizontal pair: the right one
        ([(3, 3), (4, 3)], (4, 3)),  # vertical pair: the lower one
        ([(3, 3), (3, 4), (4, 3), (4, 4)], (4, 4)),  # 2x2 block: bottom-right
        ([(3, 3), (4, 4)], (4, 4)),  # diagonal pair
        ([(3, 4), (4, 3)], (4, 3)),  # anti-diagonal pair: the lower row wins
        # L shape: a plateau can hold two pixels without a later equal neighbour.
        ([(3, 2), (3, 3), (3, 4), (4, 2)], [(3, 4), (4, 2)]),
    ],
)
def test_tie_rule_keeps_the_last_pixel_of_a_plateau(plateau, winner):
    frame = blank()
    for p in plateau:
        frame[p] = 9.0
    assert pixels(frame) == (winner if isinstance(winner, list) else [winner])


def test_a_greater_neighbour_defeats_a_tie_winner():
    frame = blank()
    frame[3, 3] = frame[3, 4] = 9.0
    frame[2, 2] = 10.0  # earlier neighbour of (3, 3) only
    frame[2, 5] = 10.0  # earlier neighbour of (3, 4)
    assert pixels(frame) == [(2, 2), (2, 5)]


@pytest.mark.parametrize(
    "nan_at, reported",
    [
        ((3, 3), []),  # the NaN pixel itself
        ((3, 4), []),  # right neighbour
        ((4, 2), []),  # next row
        ((4, 4), []),
        ((3, 2), [(3, 3)]),  # left neighbour: an earlier tie is allowed
        ((2, 4), [(3, 3)]),  # previous row
    ],
)
def test_nan_neighbours_count_as_ties(nan_at, reported):
    frame = blank()
    frame[3, 3] = 9.0
    frame[nan_at] = np.nan
    pos, inten = peaks(frame)
    assert sorted((int(a), int(b)) for a, b in pos) == reported
    assert not np.any(np.isnan(inten))


def test_nan_threshold_lets_every_pixel_through():
    frame = blank()
    frame[2, 2], frame[5, 5] = -3.0, 1.0
    assert pixels(frame, threshold=float("nan")) == [(5, 5)]


def test_extent_maps_rows_to_axis0_and_columns_to_axis1():
    frame = blank(5, 9)
    frame[1, 6] = 4.0
    pos, inten = detect(frame, (10.0, 2.0, -1.0, 7.0), 0.5, 0.0, None, None, None)
    # Reversed axis 0: row 1 of 5 lies at 10 + 1 * (2 - 10) / 4.
    assert pos.tolist() == [[8.0, 5.0]] and inten.tolist() == [4.0]


def test_positions_are_computed_in_float32():
    frame = blank(7, 13)
    frame[5, 11] = 1.0
    extent = (0.1, 0.7, 1e-3, 123.456)
    s0, e0, s1, e1 = ref.scales(frame.shape, extent)
    pos, _ = detect(frame, extent, 0.5, 0.0, None, None, None)
    assert pos[0, 0] == f32(5) * s0 + e0 and pos[0, 1] == f32(11) * s1 + e1


def test_equal_extent_bounds_collapse_an_axis():
    frame = blank()
    frame[2, 2], frame[5, 5] = 3.0, 2.0
    pos, _ = detect(frame, (4.0, 4.0, 0, 7), 0.5, 0.0, None, None, None)
    assert pos.tolist() == [[4.0, 2.0], [4.0, 5.0]]


def test_reversed_extent_decreases_with_index():
    frame = blank(10, 10)
    for k, r in enumerate([2, 4, 6]):
        frame[r, 3] = 10.0 - k
    pos, _ = detect(frame, (9.0, 0.0, 0, 9), 0.5, 0.0, None, None, None)
    assert pos[:, 0].tolist() == [7.0, 5.0, 3.0]


def test_brightest_first_and_the_brighter_of_a_close_pair_survives():
    frame = blank(10, 10)
    frame[3, 3], frame[3, 5], frame[7, 7] = 2.0, 3.0, 1.0
    pos, inten = peaks(frame, min_distance=2.5)
    assert inten.tolist() == [3.0, 1.0]
    assert pos.tolist() == [[3.0, 5.0], [7.0, 7.0]]


@pytest.mark.parametrize("md, kept", [(2.0, 3), (2.0001, 2), (0.0, 3), (-2.0, 3), (-2.0001, 2)])
def test_peaks_exactly_min_distance_apart_are_kept(md, kept):
    frame = blank(10, 10)
    frame[3, 3], frame[3, 5], frame[5, 5] = 3.0, 2.0, 1.0
    assert len(peaks(frame, min_distance=md)[1]) == kept


def test_a_rejected_peak_rejects_nothing():
    # A, B, C on a line, 0.8 * min_distance apart, A brightest: B goes, C stays.
    frame = blank(3, 14)
    frame[1, 2], frame[1, 6], frame[1, 10] = 9.0, 8.0, 7.0
    pos, inten = peaks(frame, min_distance=5.0)
    assert inten.tolist() == [9.0, 7.0]


@pytest.mark.parametrize("extent, md, kept", [((0, 99, 0, 99), 5.5, 1), ((0, 9.9, 0, 9.9), 0.6, 1), ((0, 9.9, 0, 9.9), 0.45, 2)])
def test_min_distance_is_in_extent_units(extent, md, kept):
    frame = np.zeros((100, 100), f32)
    frame[50, 40], frame[50, 45] = 2.0, 1.0
    assert len(detect(frame, extent, 0.5, md, None, None, None)[1]) == kept


def test_without_method_window_size_is_ignored_and_max_num_peaks_caps():
    frame = blank(12, 12)
    for k, (r, c) in enumerate([(2, 2), (2, 6), (6, 2), (6, 6), (9, 9)]):
        frame[r, c] = 10.0 - k
    _, all_inten = detect(frame, (0, 11, 0, 11), 0.5, 0.0, None, 4, None)
    assert all_inten.tolist() == [10.0, 9.0, 8.0, 7.0, 6.0]
    for cap in [0, 1, 3, 5, 99]:
        pos, inten = detect(frame, (0, 11, 0, 11), 0.5, 0.0, None, 4, cap)
        assert inten.tolist() == all_inten[:cap].tolist() and pos.shape == (min(cap, 5), 2)


@pytest.mark.parametrize("layout", ["fortran", "reversed", "strided", "transposed"])
def test_any_memory_layout_gives_the_same_result(layout):
    rng = np.random.default_rng(5)
    base = rng.random((41, 37)).astype(f32)
    if layout == "fortran":
        view, expect = np.asfortranarray(base), base
    elif layout == "reversed":
        view = base[::-1, ::-1]
        expect = np.ascontiguousarray(view)
    elif layout == "strided":
        big = np.zeros((82, 111), f32)
        big[::2, ::3] = base
        view, expect = big[::2, ::3], base
    else:
        view, expect = base.T, np.ascontiguousarray(base.T)
    a = detect(view, (0, 1, 0, 1), 0.3, 0.05, None, None, None)
    b = detect(expect, (0, 1, 0, 1), 0.3, 0.05, None, None, None)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def test_results_are_writeable_new_arrays():
    frame = blank()
    frame[3, 3] = 1.0
    pos, inten = peaks(frame)
    assert pos.flags.writeable and pos.flags.c_contiguous and inten.flags.writeable
    pos[0, 0] = -1.0
    assert frame[3, 3] == 1.0


def test_keywords_in_any_order_match_positional():
    frame = np.random.default_rng(1).random((20, 20)).astype(f32)
    a = detect(frame, (0, 1, 2, 3), 0.5, 0.1, "gaussian_fitting", 5, 7)
    b = detect(max_num_peaks=7, localization_window_size=5, localization_method="gaussian_fitting",
               min_distance=0.1, threshold=0.5, extent=(0, 1, 2, 3), array=frame)
    np.testing.assert_array_equal(a[0], b[0])


def prefixed(name, text):
    return re.escape(f"argument '{name}': {text}")


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((np.zeros((4, 4)), [0, 1, 0, 1]), TypeError,
         prefixed("array", "'ndarray' object cannot be converted to 'PyArray<T, D>'")),
        ((np.zeros((4, 4, 1), f32), (0, 1, 0, 1)), TypeError,
         prefixed("array", "'ndarray' object cannot be converted to 'PyArray<T, D>'")),
        ((np.zeros((4, 4), f32), [0, 1, 0, 1]), TypeError,
         prefixed("extent", "'list' object cannot be converted to 'PyTuple'")),
        ((np.zeros((4, 4), f32), (0, 1, 0, 1), "x"), TypeError, prefixed("threshold", "")),
        ((np.zeros((4, 4), f32), (0, 1, 0, 1), 1.0, 1.0, 3), TypeError,
         prefixed("localization_method", "'int' object cannot be converted to 'PyString'")),
        ((np.zeros((4, 4), f32), (0, 1, 0, 1), 1.0, 1.0, None, 7.0), TypeError,
         prefixed("localization_window_size", "")),
        ((np.zeros((4, 4), f32), (0, 1, 0, 1), 1.0, 1.0, None, -1), OverflowError, "^can.t convert negative int to unsigned$"),
        # The extent items are read after every argument is converted, without a prefix.
        ((np.zeros((4, 4), f32), (0, 1, 2), 1.0, 1.0, None, None, -1), OverflowError, "^can.t convert negative int to unsigned$"),
        ((np.zeros((4, 4), f32), (0, 1, 2)), IndexError, "^tuple index out of range$"),
        ((np.zeros((4, 4), f32), (0, 1, "a", 3)), TypeError, "^must be real number"),
    ],
)
def test_argument_errors_and_their_order(args, error, message):
    full = list(args) + [1.0, 1.0, None, None, None][len(args) - 2 :]
    with pytest.raises(error, match=message):
        detect(*full)


def test_extra_extent_items_are_ignored_and_arguments_are_required():
    frame = blank()
    frame[3, 3] = 1.0
    assert detect(frame, (0, 7, 0, 7, "x"), 0.5, 0.0, None, None, None)[0].tolist() == [[3.0, 3.0]]
    with pytest.raises(TypeError):
        detect(frame, (0, 7, 0, 7), 0.5, 0.0, None, None)


@pytest.mark.parametrize("seed", range(12))
def test_integer_frames_match_reference_tie_rule(seed):
    # Few grey levels make many plateaus; with min_distance 0 the peak set is fully defined.
    # Widths up to 150 exercise whole and partial vector blocks of contiguous rows; the Fortran
    # copy takes the strided path.
    rng = np.random.default_rng(seed)
    frame = rng.integers(0, 4, size=(rng.integers(3, 40), rng.integers(3, 150))).astype(f32)
    frame[rng.random(frame.shape) < 0.02] = np.nan
    rows, cols = ref.local_maxima(frame, 1.0)
    s0, e0, s1, e1 = ref.scales(frame.shape, (0, 1, 0, 1))
    expect = sorted(zip((rows.astype(f32) * s0 + e0).tolist(), (cols.astype(f32) * s1 + e1).tolist()))
    for layout in [frame, np.asfortranarray(frame)]:
        pos, inten = detect(layout, (0, 1, 0, 1), 1.0, 0.0, None, None, None)
        assert sorted(map(tuple, pos.tolist())) == expect
        assert np.all(np.diff(inten) <= 0)


def distinct_frame(rng, shape):
    """Noise with a few spots; maxima distinct so the brightest-first order is defined."""
    r, c = shape
    while True:
        frame = rng.random(shape).astype(f32)
        yy, xx = np.mgrid[0:r, 0:c]
        for _ in range(rng.integers(1, 30)):
            y, x, sigma = rng.uniform(0, r), rng.uniform(0, c), rng.uniform(0.7, 2)
            spot = np.exp(-((yy - y) ** 2 + (xx - x) ** 2) / (2 * sigma**2)).astype(f32)
            frame += f32(rng.uniform(1, 20)) * spot
        if ref.maxima_distinct(frame):
            return frame


@pytest.mark.parametrize("seed", range(20))
def test_random_frames_match_reference(seed):
    rng = np.random.default_rng(100 + seed)
    frame = distinct_frame(rng, (rng.integers(3, 90), rng.integers(3, 90)))
    extent = tuple(float(x) for x in rng.uniform(-50, 50, 4))
    if seed % 4 == 0:
        # Pixel-unit extent and an integer min_distance: many peaks exactly min_distance apart.
        extent, md = (0, frame.shape[0] - 1, 0, frame.shape[1] - 1), float(rng.integers(1, 5))
    else:
        md = float(rng.uniform(0, 6) * abs(extent[1] - extent[0]) / frame.shape[0])
    threshold = float(rng.uniform(0.3, 2.0))
    pos, inten = detect(frame, extent, threshold, md, None, None, None)
    epos, einten = ref.as_arrays(ref.detect(frame, extent, threshold, md))
    np.testing.assert_array_equal(pos, epos)
    np.testing.assert_array_equal(inten, einten)


def test_thinning_with_peaks_on_grid_cell_boundaries_matches_all_pairs():
    # With min_distance 1 the thinning grid's cells are 1 + 2**-20 wide; this extent puts pixel
    # centres exactly on multiples of that width.
    side = f32(1) + f32(2.0**-20)
    rng = np.random.default_rng(7)
    for _ in range(30):
        frame = rng.random((9, 9)).astype(f32)
        extent = (0.0, float(f32(8) * side), float(-f32(8) * side), 0.0)
        pos, inten = detect(frame, extent, 0.0, 1.0, None, None, None)
        epos, einten = ref.as_arrays(ref.detect(frame, extent, 0.0, 1.0))
        np.testing.assert_array_equal(pos, epos)
        np.testing.assert_array_equal(inten, einten)
