"""rs_draw_tracks_3d and rs_draw_tracks_value_3d: voxel walk, samples, sums, statistics, bad inputs."""

import re

import numpy as np
import pytest
import quorlin

from render_reference import assert_same, hit_cells, render, tracks

F32 = np.float32
EXTENT = (0, 4, 0, 3, 0, 2)


def draw(points_per_track, extent=EXTENT, pixel_size=1.0):
    return quorlin.rs_draw_tracks_3d(*tracks(*points_per_track, columns=4), extent, pixel_size)


def draw_value(points_per_track, extent=EXTENT, pixel_size=1.0):
    return quorlin.rs_draw_tracks_value_3d(*tracks(*points_per_track, columns=5), extent, pixel_size)


@pytest.mark.parametrize(
    "extent, shape, bounds",
    [
        (EXTENT, (4, 3, 2), (0.0, 4.0, 0.0, 3.0, 0.0, 2.0)),
        ((0, 4, 0, 2.9995, 1, 1.0004), (4, 3, 0), (0.0, 4.0, 0.0, 3.0, 1.0, 1.0)),
        ((-1, 1, 0, 0.5, 2, 4), (4, 1, 4), (-1.0, 1.0, 0.0, 0.5, 2.0, 4.0)),
    ],
)
def test_grid_shape_and_extent(extent, shape, bounds):
    pixel_size = 0.5 if extent[0] == -1 else 1.0
    for result in (draw([[(0, 0, 0, 1)]], extent, pixel_size), draw_value([[(0, 0, 0, 1, 1)]], extent, pixel_size)):
        assert all(a.shape == shape for a in result[:-1])
        assert result[-1] == bounds
        assert result[-2].dtype == np.uint32


def test_one_point_track():
    volume, counts, _ = draw([[(1, 1, 1, 5)]])
    assert volume[1, 1, 1] == 5 and counts[1, 1, 1] == 1 and counts.sum() == 1


def test_two_point_track_samples_both_ends():
    volume, counts, _ = draw([[(0, 0, 0, 0), (2, 0, 0, 3)]])
    assert volume[:3, 0, 0].tolist() == [0, 1, 5]
    assert counts[:3, 0, 0].tolist() == [1, 1, 2]
    assert counts.sum() == 4


@pytest.mark.parametrize(
    "start, end, walked",
    [
        ((0, 0, 0), (3, 2, 0), [(0, 0, 0), (1, 1, 0), (2, 1, 0), (3, 2, 0)]),
        ((3, 2, 1), (0, 0, 0), [(3, 2, 1), (2, 1, 1), (1, 1, 0), (0, 0, 0)]),
        ((1, 0, 0), (1, 2, 1), [(1, 0, 0), (1, 1, 0), (1, 2, 1)]),
    ],
)
def test_voxel_walk_cells(start, end, walked):
    volume, counts, _ = draw([[(*start, 0), (*end, 8)]])
    assert hit_cells(counts) == set(walked)
    n = len(walked) - 1
    for j, cell in enumerate(walked[:-1]):
        t = F32(j) / (F32(n + 2) - F32(1))
        assert volume[cell] == t * F32(8)
    assert counts[end] == 2


def test_vertex_between_segments_is_sampled_twice():
    volume, counts, _ = draw([[(0, 0, 0, 2), (2, 0, 0, 2), (2, 2, 0, 2)]])
    assert counts[2, 0, 0] == 2 and volume[2, 0, 0] == 4
    assert counts[2, 2, 0] == 2


def test_repeated_cells_keep_the_first_point():
    volume, counts, _ = draw([[(1, 1, 1, 5), (1.2, 0.8, 1.1, 100)]])
    assert volume[1, 1, 1] == 5 and counts.sum() == 1


def test_value_volume_example():
    intensity, value, counts, _ = draw_value([[(0, 0, 0, 0, 0), (2, 0, 0, 3, 6)]])
    assert intensity[:3, 0, 0].tolist() == [0, 1, 5]
    assert value[:3, 0, 0].tolist() == [0, 2, pytest.approx(5.2, rel=1e-7)]
    assert value[2, 0, 0] == F32(26) / F32(5)
    assert counts[:3, 0, 0].tolist() == [1, 1, 2]


@pytest.mark.parametrize(
    "hits, expected",
    [
        ([(3, 1), (1, 9), (2, 1)], (6, F32(14) / F32(6))),
        ([(4, 1), (1, 9), (3, 1), (2, 1)], (9, 1)),
        ([(5, 1), (1, 1000), (6, 1), (2, 1000), (7, 1), (3, 1), (8, 1), (4, 1)], (33, 1)),
        ([(-2, 3)], (-2, 0)),
    ],
)
def test_value_volume_trims_lowest_quarter(hits, expected):
    intensity, value, counts, _ = draw_value([[(1, 2, 1, i, v)] for i, v in hits])
    assert counts[1, 2, 1] == len(hits)
    assert (intensity[1, 2, 1], value[1, 2, 1]) == expected


def test_sum_volume_is_not_trimmed():
    volume, counts, _ = draw([[(1, 2, 1, v)] for v in [4, 1, 3, 2]])
    assert volume[1, 2, 1] == 10 and counts[1, 2, 1] == 4


def test_point_below_the_grid_is_not_drawn():
    # Cell (-2, 0, 0) to (2, 0, 0): five cells, t = j / 5; only X >= 0 is drawn.
    volume, counts, _ = draw([[(-2, 0, 0, 0), (2, 0, 0, 5)]])
    assert hit_cells(counts) == {(0, 0, 0), (1, 0, 0), (2, 0, 0)}
    assert volume[0, 0, 0] == F32(2) / F32(5) * F32(5)
    _, counts, _ = draw([[(1, 1, -0.6, 1)], [(-3, 0, 0, 1), (-1, 2, 1, 1)]])
    assert counts.sum() == 0


def test_nan_intensity_blanks_segments_and_point():
    _, counts, _ = draw([[(0, 0, 0, 1), (2, 0, 0, np.nan), (2, 2, 0, 1), (2, 2, 1, 1)]])
    assert hit_cells(counts) == {(2, 2, 0), (2, 2, 1)}
    _, counts, _ = draw([[(0, 0, 0, 1), (3, 0, 0, np.nan)]])
    assert counts.sum() == 0


@pytest.mark.parametrize("axis", [0, 1, 2])
def test_nan_coordinate_is_not_drawn(axis):
    point = [1.0, 1.0, 1.0, 4.0, 1.0]
    point[axis] = np.nan
    _, _, counts, _ = draw_value([[(3, 0, 0, 1, 1), tuple(point), (3, 2, 1, 1, 1), (3, 2, 0, 1, 1)]])
    assert hit_cells(counts) == {(3, 2, 1), (3, 2, 0)}
    assert counts[0, 0, 0] == 0


@pytest.mark.parametrize("far", [1e30, np.inf, 2.0**40])
def test_astronomically_far_points_are_clipped(far):
    # Indices saturate at the 32-bit limits; differences are exact, t is about 1/2 in the grid.
    volume, counts, _ = draw([[(-far, 1, 1, 0), (far, 1, 1, 2)]])
    assert hit_cells(counts) == {(x, 1, 1) for x in range(4)}
    assert (volume[:, 1, 1] == 1).all()
    _, counts, _ = draw([[(-far, -far, -far, 0), (far, far, far, 2)]])
    assert hit_cells(counts) == {(0, 0, 0), (1, 1, 1)}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("value", [False, True])
def test_matches_reference(seed, value):
    rng = np.random.default_rng(seed)
    extent = (0.0, 6.0, -1.0, 4.0, 0.5, 4.0)
    pixel_size = [1.0, 0.6][seed % 2]
    columns = 5 if value else 4
    lengths = rng.integers(0, 7, 30)
    rows = int(lengths.sum())
    matrix = np.empty((rows, columns), np.float32)
    matrix[:, :3] = rng.uniform((-3, -4, -2.5), (9, 7, 7), (rows, 3))
    matrix[:, 3:] = rng.normal(2, 2, (rows, columns - 3))
    matrix[rng.random(matrix.shape) < 0.04] = np.nan
    ends = np.cumsum(lengths).astype(np.int32)
    fn = quorlin.rs_draw_tracks_value_3d if value else quorlin.rs_draw_tracks_3d
    got = fn(matrix, ends, extent, pixel_size)
    assert_same(got, render(matrix, ends, extent, pixel_size, 3, columns - 3, value))


def test_crowded_voxels_with_tied_intensities_match_reference():
    # Dozens of hits per voxel from a few intensities: the trimming of ties follows arrival order.
    rng = np.random.default_rng(22)
    n_tracks, n_points = 60, 10
    matrix = np.empty((n_tracks * n_points, 5), np.float32)
    matrix[:, :3] = rng.uniform(-0.5, 3.5, (len(matrix), 3))
    matrix[:, 3] = rng.integers(0, 3, len(matrix))
    matrix[:, 4] = rng.normal(0, 3, len(matrix))
    ends = np.arange(n_points, len(matrix) + 1, n_points, dtype=np.int32)
    extent = (0, 3, 0, 3, 0, 3)
    got = quorlin.rs_draw_tracks_value_3d(matrix, ends, extent, 1.0)
    assert (got[-2] > 20).sum() > 5
    assert_same(got, render(matrix, ends, extent, 1.0, 3, 2, True))


def test_clipped_segments_match_full_walks():
    rng = np.random.default_rng(11)
    extent = (0.0, 5.0, 0.0, 4.0, 0.0, 3.0)
    rows, ends = [], []
    for _ in range(50):
        direction = rng.normal(size=3)
        point = rng.uniform(20, 300) * direction / np.linalg.norm(direction)
        for _ in range(rng.integers(2, 4)):
            rows.append((*point, *rng.normal(2, 2, 2)))
            centre = rng.uniform((-2, -2, -2), (7, 6, 5))
            point = centre - rng.uniform(0.5, 3) * (point - centre)
        ends.append(len(rows))
    matrix = np.array(rows, np.float32)
    ends = np.array(ends, np.int32)
    for value, fn in [(True, quorlin.rs_draw_tracks_value_3d), (False, quorlin.rs_draw_tracks_3d)]:
        got = fn(matrix if value else matrix[:, :4], ends, extent, 1.0)
        assert got[-2].sum() > 20
        assert_same(got, render(matrix, ends, extent, 1.0, 3, 2 if value else 1, value))


RENDERERS_3D = [
    (quorlin.rs_draw_tracks_3d, "matrix_x_y_z_intensity", 4),
    (quorlin.rs_draw_tracks_value_3d, "matrix_x_y_z_intensity_value", 5),
]


@pytest.mark.parametrize("fn, matrix_name, columns", RENDERERS_3D)
def test_invalid_inputs(fn, matrix_name, columns):
    ends = np.array([2], np.int32)
    with pytest.raises(ValueError, match=re.escape(f"{matrix_name} must have at least {columns} columns (it has {columns - 1})")):
        fn(np.zeros((0, columns - 1), np.float32), np.array([0], np.int32), EXTENT, 1.0)
    matrix = np.zeros((2, columns), np.float32)
    with pytest.raises(ValueError, match=re.escape("track_end_indices must not hold negative values (entry 0 is -1)")):
        fn(matrix, np.array([-1], np.int32), EXTENT, 1.0)
    for pixel_size in (0.0, -2.0, np.nan, np.inf):
        with pytest.raises(ValueError, match=re.escape("pixel_size must be a finite number greater than 0")):
            fn(matrix, ends, EXTENT, pixel_size)
    for extent, pixel_size in [((0, 1, 0, 1, 0, 1), 1e-30), ((0, 2000, 0, 2000, 0, 2000), 1.0)]:
        with pytest.raises(MemoryError, match="^not enough memory for a render grid of "):
            fn(matrix, ends, extent, pixel_size)
    with pytest.raises(IndexError):
        fn(matrix, ends, (0, 1, 0, 1, 0), 1.0)
