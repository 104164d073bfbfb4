"""quorlin_track linking and rendering: the raw linkers' links, with every detection kept, and the
raw renderers' images of the same tracks."""

import numpy as np
import pandas as pd
import pytest

import quorlin
import quorlin_track as qt


def random_spots(ndim, frames=8, per_frame=25, seed=0):
    """Particles drifting slowly, some frames missing some of them; rows shuffled."""
    rng = np.random.default_rng(seed)
    start = rng.uniform(0, 40, (per_frame, ndim))
    rows = []
    for t in range(frames):
        here = start + rng.normal(0, 0.6, start.shape) * (t + 1) ** 0.5
        keep = rng.uniform(size=per_frame) > 0.2
        for p in here[keep]:
            rows.append((t, *p, rng.uniform(50, 120)))
    names = ["frame", *qt.columns.spatial_columns(ndim), "intensity"]
    table = pd.DataFrame(rows, columns=names).astype({n: np.float32 for n in names[1:]})
    return table.sample(frac=1.0, random_state=seed).reset_index(drop=True)


def raw_tracks(spots, ndim, max_distance, max_skip, ratio):
    columns = [*qt.columns.spatial_columns(ndim), "intensity"]
    points = [spots.loc[spots.frame == t, columns].to_numpy(np.float32)
              for t in range(spots.frame.max() + 1)]
    if ndim == 2:
        return quorlin.rs_link_points(points, max_distance, max_skip, np.inf if ratio is None else ratio)
    return quorlin.rs_link_points_3d(points, max_distance, max_skip)


@pytest.mark.parametrize("ndim, max_skip, ratio", [(2, 0, None), (2, 2, 1.5), (3, 1, None)])
def test_links_are_those_of_the_raw_linker(ndim, max_skip, ratio):
    spots = random_spots(ndim)
    linked = qt.link(spots, 2.0, max_skip, ratio)
    pd.testing.assert_frame_equal(linked.drop(columns="particle"), spots)
    matrix, ends = raw_tracks(spots, ndim, 2.0, max_skip, ratio)
    columns = [*qt.columns.spatial_columns(ndim), "intensity"]
    sizes = linked.groupby("particle").size()
    tracks = linked[linked.particle.isin(sizes.index[sizes > 1])]
    tracks = tracks.sort_values(["particle", "frame"], kind="stable")
    np.testing.assert_array_equal(tracks[columns].to_numpy(np.float32), matrix)
    np.testing.assert_array_equal(np.cumsum(tracks.groupby("particle", sort=True).size()), ends)
    # Single detections are particles of their own, and ids run from 0 without holes.
    assert sorted(set(linked.particle)) == list(range(len(sizes)))
    assert (sizes == 1).sum() == len(spots) - len(matrix)


def test_link_rejects_bad_tables():
    spots = random_spots(2, frames=2)
    with pytest.raises(ValueError, match="spots lacks the column\\(s\\) intensity"):
        qt.link(spots.drop(columns="intensity"), 2.0)
    with pytest.raises(ValueError, match="max_skip must be a non-negative integer"):
        qt.link(spots, 2.0, max_skip=-1)
    with pytest.raises(ValueError, match="max_distance must be at least"):
        qt.link(spots, 0.0)
    with pytest.raises(ValueError, match="whole frame numbers"):
        qt.link(spots.assign(frame=spots.frame + 0.5), 2.0)
    with pytest.raises(ValueError, match="2-D tables only"):
        qt.link(random_spots(3, frames=2), 2.0, max_intensity_ratio=2.0)


@pytest.mark.parametrize("ndim", [2, 3])
def test_render_draws_the_raw_renderers_tracks(ndim):
    spots = random_spots(ndim, frames=5, per_frame=6)
    linked = qt.link(spots, 2.0, 1)
    speed = np.linspace(0.0, 1.0, len(linked))
    image = qt.render(linked, pixel_size=0.5, value=speed)
    axes = list(qt.columns.spatial_columns(ndim))
    order = np.lexsort((linked.frame, linked.particle))
    ordered = linked.iloc[order]
    matrix = np.column_stack([ordered[axes + ["intensity"]].to_numpy(np.float32),
                              speed[order].astype(np.float32)])
    ends = np.cumsum(ordered.groupby("particle", sort=True).size()).astype(np.int32).to_numpy()
    extent = tuple(v for a in axes for v in (float(ordered[a].min()), float(ordered[a].max()) + 0.5))
    draw = quorlin.rs_draw_tracks_value if ndim == 2 else quorlin.rs_draw_tracks_value_3d
    intensity, value, counts, grid = draw(matrix, ends, extent, 0.5)
    np.testing.assert_array_equal(image.intensity, intensity)
    np.testing.assert_array_equal(image.value, value)
    np.testing.assert_array_equal(image.counts, counts)
    assert image.extent == grid
    # The default grid reaches one cell beyond the largest position: every detection is drawn.
    assert int(image.counts.sum()) >= len(linked)
