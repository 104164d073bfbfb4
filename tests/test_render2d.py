"""rs_draw_tracks and rs_draw_tracks_value: grid, walk, hits, trimmed statistics, bad inputs."""

import inspect
import re

import numpy as np
import pytest
import quorlin

from render_reference import assert_same, hit_cells, render, tracks

F32 = np.float32


def draw(points_per_track, extent=(0, 10, 0, 10), pixel_size=1.0):
    matrix, ends = tracks(*points_per_track, columns=3)
    return quorlin.rs_draw_tracks(matrix, ends, extent, pixel_size)


def draw_value(points_per_track, extent=(0, 10, 0, 10), pixel_size=1.0):
    matrix, ends = tracks(*points_per_track, columns=4)
    return quorlin.rs_draw_tracks_value(matrix, ends, extent, pixel_size)


def lerp(j, steps, v0, v1):
    """The float32 hit of step j of a walk of `steps` cells between intensities v0 and v1."""
    t = F32(j) / (F32(steps + 1) - F32(1))
    return t * F32(v1) + (F32(1) - t) * F32(v0)


# --- grid ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "extent, shape, bounds",
    [
        ((0, 10, 0, 5), (10, 5), (0.0, 10.0, 0.0, 5.0)),
        ((0, 9.9995, 0, 5), (10, 5), (0.0, 10.0, 0.0, 5.0)),
        ((0, 0.0005, 0, 5), (0, 5), (0.0, 0.0, 0.0, 5.0)),
        ((0, 10, 3, 2), (10, 0), (0.0, 10.0, 3.0, 3.0)),
        ((-2.5, 2.5, 1, 3.0005), (5, 2), (-2.5, 2.5, 1.0, 3.0)),
        ((-2.5, 2.5, 1, 2.99), (5, 2), (-2.5, 2.5, 1.0, 3.0)),
    ],
)
def test_grid_shape_and_extent(extent, shape, bounds):
    image, counts, out_extent = draw([[(0, 0, 1)]], extent)
    assert image.shape == counts.shape == shape
    assert image.dtype == np.float32 and counts.dtype == np.uint32
    assert out_extent == bounds
    assert image.flags.writeable and image.flags.c_contiguous


# --- walk and interpolation ------------------------------------------------------------------


def test_straight_track_interpolates_and_hits_vertex_once():
    image, counts, _ = draw([[(0, 0, 0), (3, 0, 3)]])
    assert image[:4, 0].tolist() == [0, 1, 2, 3]
    assert counts[:4, 0].tolist() == [1, 1, 1, 1]
    assert counts.sum() == 4


@pytest.mark.parametrize(
    "start, end, walked",
    [
        ((0, 0), (3, 2), [(0, 0), (1, 0), (2, 1)]),
        ((3, 2), (0, 0), [(3, 2), (2, 2), (1, 1)]),
        ((5, 5), (5, 1), [(5, 5), (5, 4), (5, 3), (5, 2)]),
        ((1, 6), (7, 3), [(1, 6), (2, 6), (3, 5), (4, 5), (5, 4), (6, 4)]),
    ],
)
def test_octant_walk_cells(start, end, walked):
    steps = len(walked)
    image, counts, _ = draw([[(*start, 0), (*end, steps)]])
    assert hit_cells(counts) == set(walked) | {end}
    # The j-th cell of the walk gets t = j / D, here the intensity j; the end point its own.
    for j, cell in enumerate(walked):
        assert image[cell] == lerp(j, steps, 0, steps)
    assert image[end] == steps


def test_value_track_interpolates_both_quantities():
    intensity, value, counts, _ = draw_value([[(0, 0, 0, 0), (2, 0, 2, 4)]])
    assert intensity[:3, 0].tolist() == [0, 1, 2]
    assert value[:3, 0].tolist() == [0, 2, 4]
    assert counts[:3, 0].tolist() == [1, 1, 1]


def test_same_cell_repeats_keep_the_first_point():
    image, counts, _ = draw([[(1.0, 1.0, 5), (1.2, 0.9, 100), (3, 1, 9), (3.1, 1.2, 50)]])
    assert image[1:4, 1].tolist() == [5, 7, 9]
    assert counts.sum() == 3


# --- trimmed statistics ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "intensities, expected",
    [
        ([3, 1, 2], 6),
        ([4, 1, 3, 2], 9),
        ([8, 1, 7, 2, 6, 3, 5, 4], 33),
        ([-1, -2, -3, -4], -6),
    ],
)
def test_trimmed_sum_drops_lowest_quarter(intensities, expected):
    image, counts, _ = draw([[(2, 2, v)] for v in intensities])
    assert counts[2, 2] == len(intensities)
    assert image[2, 2] == expected


def test_trimmed_sum_adds_in_ascending_order_in_float32():
    # Ascending: 3 + 3 = 6, then 1e8 + 6 rounds to 100000008. In arrival order each 3 would vanish
    # against 1e8 (float32 spacing 8 there) and leave 1e8.
    image, _, _ = draw([[(0, 0, v)] for v in [1e8, 3, 3]])
    assert image[0, 0] == F32(100000008)


def test_negative_zero_hits_keep_their_sign():
    image, _, _ = draw([[(0, 0, -0.0)]])
    assert np.signbit(image[0, 0])


@pytest.mark.parametrize(
    "hits, expected",
    [
        ([(2, 5)], (2, 5)),
        ([(1, 100), (2, 10), (3, 10), (4, 10)], (9, 10)),
        ([(-1, 5)], (-1, 0)),
        ([(-1, 5), (1, 7)], (0, 0)),
        # Equal intensities keep arrival order: the first hit is the one dropped.
        ([(1, 100), (1, 10), (1, 10), (1, 10)], (3, 10)),
        ([(1, 10), (1, 10), (1, 10), (1, 100)], (3, 40)),
    ],
)
def test_value_statistics(hits, expected):
    intensity, value, counts, _ = draw_value([[(4, 4, i, v)] for i, v in hits])
    assert counts[4, 4] == len(hits)
    assert (intensity[4, 4], value[4, 4]) == pytest.approx(expected, rel=1e-6)
    assert counts.sum() == len(hits)


def test_value_of_eight_hits_drops_two():
    hits = [(5, 1), (1, 1000), (6, 1), (2, 1000), (7, 1), (3, 1), (8, 1), (4, 1)]
    intensity, value, counts, _ = draw_value([[(0, 0, i, v)] for i, v in hits])
    assert counts[0, 0] == 8 and intensity[0, 0] == 33 and value[0, 0] == 1


# --- splitting -------------------------------------------------------------------------------


def test_end_indices_split_rows():
    rows = [(0, 0, 1), (0, 3, 1), (5, 0, 1), (5, 2, 1), (9, 2, 1)]
    matrix = np.array(rows, np.float32)
    _, counts, _ = quorlin.rs_draw_tracks(matrix, np.array([2, 2, 5], np.int32), (0, 10, 0, 10), 1.0)
    # Rows 1 and 2 are not joined: nothing between (0, 3) and (5, 0).
    expected = {(0, y) for y in range(4)} | {(5, y) for y in range(3)} | {(x, 2) for x in range(6, 10)}
    assert hit_cells(counts) == expected
    joined = quorlin.rs_draw_tracks(matrix, np.array([7], np.int32), (0, 10, 0, 10), 1.0)
    assert (2, 2) in hit_cells(joined[1]) and joined[1].sum() == 3 + 5 + 2 + 4 + 1
    assert_same(joined, render(matrix, [7], (0, 10, 0, 10), 1.0, 2, 1, True))
    _, counts, _ = quorlin.rs_draw_tracks(matrix, np.array([2], np.int32), (0, 10, 0, 10), 1.0)
    assert hit_cells(counts) == {(0, y) for y in range(4)}
    _, counts, _ = quorlin.rs_draw_tracks(matrix, np.array([], np.int32), (0, 10, 0, 10), 1.0)
    assert counts.sum() == 0


def test_strided_inputs_read_in_place():
    rng = np.random.default_rng(3)
    matrix = (rng.random((30, 3)) * 10).astype(np.float32)
    ends = np.array([10, 20, 30], np.int32)
    expected = quorlin.rs_draw_tracks(matrix, ends, (0, 10, 0, 10), 1.0)
    wide = np.zeros((60, 5), np.float32)
    wide[::2, :3] = matrix
    assert_same(quorlin.rs_draw_tracks(wide[::2], ends, (0, 10, 0, 10), 1.0), expected)
    spaced_ends = np.zeros(9, np.int32)
    spaced_ends[::3] = ends
    assert_same(quorlin.rs_draw_tracks(np.asfortranarray(matrix), spaced_ends[::3], (0, 10, 0, 10), 1.0), expected)


# --- NaN and off-grid points -----------------------------------------------------------------


def test_nan_intensity_blanks_both_segments():
    image, counts, _ = draw([[(0, 0, 1), (4, 0, np.nan), (8, 0, 1), (8, 4, 1)]])
    assert hit_cells(counts) == {(8, 0), (8, 1), (8, 2), (8, 3), (8, 4)}


@pytest.mark.parametrize("nan_column", [0, 1])
def test_nan_coordinate_is_not_drawn_nor_its_segments(nan_column):
    point = [3.0, 3.0, 7.0]
    point[nan_column] = np.nan
    image, counts, _ = draw([[(0, 6, 1), tuple(point), (6, 6, 1), (6, 9, 1)]])
    assert hit_cells(counts) == {(6, 6), (6, 7), (6, 8), (6, 9)}
    assert counts[0, 0] == 0


def test_nan_coordinates_in_the_same_place_are_not_merged():
    _, counts, _ = draw([[(np.nan, 1, 1), (np.nan, 1, 1), (2, 2, 1)]])
    assert hit_cells(counts) == {(2, 2)}


def test_point_below_the_grid_is_not_clamped():
    # x = -3 maps to cell -3: the walk from there reaches the grid at its fourth cell (t = 3/6).
    image, counts, _ = draw([[(-3, 0, 0), (3, 0, 6)]])
    assert image[:4, 0].tolist() == [lerp(3, 6, 0, 6), lerp(4, 6, 0, 6), lerp(5, 6, 0, 6), 6]
    assert counts.sum() == 4
    # A track that stays below the grid leaves it empty.
    _, counts, _ = draw([[(-5, 2, 1), (-2, 6, 1)], [(4, -0.6, 1)]])
    assert counts.sum() == 0


def test_point_past_the_upper_bound_is_not_drawn():
    image, counts, _ = draw([[(7, 1, 0), (10, 1, 3)]])
    assert hit_cells(counts) == {(7, 1), (8, 1), (9, 1)}
    assert image[7:, 1].tolist() == [0, 1, 2]


@pytest.mark.parametrize("far", [1e30, np.inf, 3e9, 2.0**63])
def test_astronomically_far_points_are_clipped(far):
    # Only the in-grid steps are walked; t there is (2^63 + X) / 2^64 = 1/2 in float32.
    image, counts, _ = draw([[(-far, 3, 0), (far, 3, 2)]])
    if far < 2.0**62:
        assert counts.sum() == 10
    else:
        assert hit_cells(counts) == {(x, 3) for x in range(10)}
        assert (image[:, 3] == 1).all()
    image, counts, _ = draw([[(-far, -far, 0), (far, far, 2)]])
    assert hit_cells(counts) == {(x, x) for x in range(10)}


# --- randomized comparison with the reference ----------------------------------------------


def random_tracks(rng, n_tracks, columns, span, extent, nan_rate=0.05):
    lengths = rng.integers(0, 8, n_tracks)
    rows = int(lengths.sum())
    matrix = np.empty((rows, columns), np.float32)
    lo = np.array([extent[0], extent[2]]) - span
    hi = np.array([extent[1], extent[3]]) + span
    matrix[:, :2] = rng.uniform(lo, hi, (rows, 2))
    # Some points close to the previous one, so that repeats and short segments occur.
    near = rng.random(rows) < 0.3
    matrix[1:, :2][near[1:]] = matrix[:-1, :2][near[1:]] + rng.normal(0, 0.4, (int(near[1:].sum()), 2))
    matrix[:, 2:] = rng.normal(2, 2, (rows, columns - 2))
    matrix[rng.random(matrix.shape) < nan_rate] = np.nan
    ends = np.cumsum(lengths).astype(np.int32)
    return matrix, ends


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("value", [False, True])
def test_matches_reference(seed, value):
    rng = np.random.default_rng(seed)
    extent = (0.0, 12.0, -1.0, 7.0) if seed % 2 else (1.5, 9.0, 0.0, 11.3)
    pixel_size = [1.0, 0.7, 1.3][seed % 3]
    columns = 4 if value else 3
    matrix, ends = random_tracks(rng, 25, columns, 4.0, extent)
    fn = quorlin.rs_draw_tracks_value if value else quorlin.rs_draw_tracks
    got = fn(matrix, ends, extent, pixel_size)
    assert_same(got, render(matrix, ends, extent, pixel_size, 2, columns - 2, True))


@pytest.mark.parametrize("seed", range(3))
def test_clipped_segments_match_full_walks(seed):
    # Long segments through a point near the grid, from far outside to far outside: some cross
    # the grid, some pass by. The reference walks every cell of them.
    rng = np.random.default_rng(100 + seed)
    extent = (0.0, 9.0, 0.0, 6.0)
    rows, ends = [], []
    for _ in range(60):
        angle = rng.uniform(0, 2 * np.pi)
        point = rng.uniform(20, 400) * np.array([np.cos(angle), np.sin(angle)])
        for _ in range(rng.integers(2, 5)):
            rows.append((*point, *rng.normal(2, 2, 2)))
            centre = rng.uniform((-3, -3), (12, 9))
            point = centre - rng.uniform(0.5, 3) * (point - centre)
        ends.append(len(rows))
    matrix = np.array(rows, np.float32)
    ends = np.array(ends, np.int32)
    got = quorlin.rs_draw_tracks_value(matrix, ends, extent, 1.0)
    assert got[2].sum() > 20
    assert_same(got, render(matrix, ends, extent, 1.0, 2, 2, True))


def test_many_hits_per_pixel_match_reference():
    # More than 20 hits in a pixel: the longer sort path.
    rng = np.random.default_rng(7)
    n = 60
    matrix = np.zeros((n, 4), np.float32)
    matrix[:, 0:2] = 1.0
    matrix[:, 2] = rng.integers(0, 5, n)
    matrix[:, 3] = rng.normal(0, 3, n)
    ends = np.arange(1, n + 1, dtype=np.int32)
    got = quorlin.rs_draw_tracks_value(matrix, ends, (0, 3, 0, 3), 1.0)
    assert got[2][1, 1] == n
    assert_same(got, render(matrix, ends, (0, 3, 0, 3), 1.0, 2, 2, True))


@pytest.mark.parametrize("value", [False, True])
def test_crowded_pixels_with_tied_intensities_match_reference(value):
    # Many tracks through a small grid: most pixels collect dozens of hits of a few intensities,
    # so which of the tied hits are trimmed depends on their arrival order.
    rng = np.random.default_rng(21)
    n_tracks, n_points = 40, 12
    matrix = np.empty((n_tracks * n_points, 4 if value else 3), np.float32)
    matrix[:, :2] = rng.uniform(-1, 7, (len(matrix), 2))
    matrix[:, 2] = rng.integers(0, 3, len(matrix))
    if value:
        matrix[:, 3] = rng.normal(0, 3, len(matrix))
    ends = np.arange(n_points, len(matrix) + 1, n_points, dtype=np.int32)
    fn = quorlin.rs_draw_tracks_value if value else quorlin.rs_draw_tracks
    got = fn(matrix, ends, (0, 6, 0, 6), 1.0)
    assert (got[-2] > 20).sum() > 10
    assert_same(got, render(matrix, ends, (0, 6, 0, 6), 1.0, 2, 1 + value, True))


# --- invalid inputs and the calling frame ----------------------------------------------------


RENDERERS_2D = [
    (quorlin.rs_draw_tracks, "matrix_x_y_intensity", 3),
    (quorlin.rs_draw_tracks_value, "matrix_x_y_intensity_value", 4),
]


@pytest.mark.parametrize("fn, matrix_name, columns", RENDERERS_2D)
def test_negative_end_index_is_rejected(fn, matrix_name, columns):
    matrix = np.zeros((4, columns), np.float32)
    with pytest.raises(ValueError, match=re.escape("track_end_indices must not hold negative values (entry 1 is -2)")):
        fn(matrix, np.array([2, -2, 4], np.int32), (0, 4, 0, 4), 1.0)


@pytest.mark.parametrize("fn, matrix_name, columns", RENDERERS_2D)
@pytest.mark.parametrize("rows", [0, 3])
def test_too_few_columns_are_rejected(fn, matrix_name, columns, rows):
    matrix = np.zeros((rows, columns - 1), np.float32)
    message = f"{matrix_name} must have at least {columns} columns (it has {columns - 1})"
    with pytest.raises(ValueError, match=re.escape(message)):
        fn(matrix, np.array([rows], np.int32), (0, 4, 0, 4), 1.0)


@pytest.mark.parametrize("fn, matrix_name, columns", RENDERERS_2D)
@pytest.mark.parametrize("pixel_size", [0.0, -0.0, -1.0, np.nan, np.inf, -np.inf])
def test_bad_pixel_size_is_rejected(fn, matrix_name, columns, pixel_size):
    matrix = np.zeros((2, columns), np.float32)
    with pytest.raises(ValueError, match=re.escape("pixel_size must be a finite number greater than 0")):
        fn(matrix, np.array([2], np.int32), (0, 4, 0, 4), pixel_size)


@pytest.mark.parametrize("fn, matrix_name, columns", RENDERERS_2D)
@pytest.mark.parametrize(
    "extent, pixel_size",
    [((0, 1, 0, 1), 1e-30), ((0, 1e6, 0, 1e6), 1e-2), ((0, 3e5, 0, 3e5), 5.0), ((0, np.inf, 0, 1), 1.0)],
)
def test_grid_too_large_raises_memory_error(fn, matrix_name, columns, extent, pixel_size):
    # The last but one grid has 3.6e9 cells: a size the kernel might grant, refused up front.
    matrix = np.ones((2, columns), np.float32)
    with pytest.raises(MemoryError, match="^not enough memory for a render grid of "):
        fn(matrix, np.array([2], np.int32), extent, pixel_size)


def test_grid_beyond_available_memory_is_refused_up_front():
    # A grid a little larger than the memory available: the kernel might grant it and then kill
    # the process while its pages are zeroed; the renderer refuses it before allocating.
    with open("/proc/meminfo") as f:
        meminfo = dict(line.split(":", 1) for line in f)
    available = int(meminfo["MemAvailable"].split()[0]) * 1024
    side = int((1.25 * available / 16) ** 0.5) + 1
    with pytest.raises(MemoryError, match=r"^not enough memory for a render grid of \d+ x \d+ cells"):
        quorlin.rs_draw_tracks(np.ones((2, 3), np.float32), np.array([2], np.int32), (0, side, 0, side), 1.0)


@pytest.mark.parametrize("fn, matrix_name, columns", RENDERERS_2D)
def test_empty_grid_with_an_unrepresentable_axis(fn, matrix_name, columns):
    # nx = 2^64 - 1 cells along x but none along y: no memory is needed, yet NumPy cannot form
    # the (2^64 - 1, 0) array, which the checked result step reports.
    matrix = np.ones((2, columns), np.float32)
    with pytest.raises(ValueError, match=re.escape("Error creating ndarray: ShapeError/")):
        fn(matrix, np.array([2], np.int32), (0, np.inf, 0, 0), 1.0)


def test_argument_conversions():
    matrix = np.zeros((2, 3), np.float32)
    ends = np.array([2], np.int32)
    with pytest.raises(TypeError, match=re.escape("argument 'track_end_indices': 'ndarray' object cannot be converted to 'PyArray<T, D>'")):
        quorlin.rs_draw_tracks(matrix, ends.astype(np.uint32), (0, 1, 0, 1), 1.0)
    with pytest.raises(TypeError, match="^must be real number, not str$"):
        quorlin.rs_draw_tracks(matrix, ends, (0, 1, "a", 3), 1.0)
    with pytest.raises(IndexError):
        quorlin.rs_draw_tracks(matrix, ends, (0, 1, 2), 1.0)
    by_keyword = quorlin.rs_draw_tracks(pixel_size=1.0, extent=(0, 2, 0, 2), track_end_indices=ends,
                                        matrix_x_y_intensity=matrix)
    assert_same(by_keyword, quorlin.rs_draw_tracks(matrix, ends, (0, 2, 0, 2), 1.0))
    assert list(inspect.signature(quorlin.rs_draw_tracks_value).parameters) == [
        "matrix_x_y_intensity_value", "track_end_indices", "extent", "pixel_size"]
