"""Same input, same bytes: camera-like integer-valued data (many equal values) through every
function, repeated in this process and in a child process restricted to one core."""

import hashlib
import pathlib

import numpy as np
import pytest

import quorlin

F = np.float32


def counts(shape, seed=0):
    """Poisson photon counts stored as float32, as a camera delivers them."""
    return np.random.default_rng(seed).poisson(20, shape).astype(F)


def identity_extent(shape):
    return tuple(float(x) for n in shape for x in (0, n - 1))


@pytest.mark.parametrize("shape", [(1024, 1024), (64, 128, 128)])
def test_equal_intensities_keep_raster_order(shape):
    # Tens of thousands of candidates take the parallel sort; with min_distance 0 the output is
    # the sorted candidate list itself: intensity descending, then raster order.
    data = counts(shape)
    extent = identity_extent(shape)
    if len(shape) == 2:
        pos, inten = quorlin.rs_detect_peaks(data, extent, 25.0, 0.0, None, None, None)
    else:
        pos, inten, _ = quorlin.rs_detect_peaks3d(data, extent, 25.0, 0.0, None, None, None, None, None)
    assert len(inten) > 16384 and len(np.unique(inten)) < 100
    keys = [pos[:, a] for a in reversed(range(len(shape)))] + [-inten]
    np.testing.assert_array_equal(np.lexsort(keys), np.arange(len(inten)))


def digest():
    """A hash of the results of all ten functions on integer-valued data, with thinning, the
    localization budget, correlation filtering, gap closing and trimmed rendering."""
    h = hashlib.sha256()

    def add(result):
        for item in result if isinstance(result, tuple) else (result,):
            h.update(np.asarray(item if item is not None else np.nan, F).tobytes())

    frame = counts((2048, 2048), 1)
    extent2 = identity_extent(frame.shape)
    add(quorlin.rs_detect_peaks(frame, extent2, 25.0, 4.0, None, None, None))
    add(quorlin.rs_detect_peaks(frame, extent2, 25.0, 4.0, "radial_symmetry", 5, 20000))
    add(quorlin.rs_detect_peaks(frame, extent2, 25.0, 4.0, "gaussian_fitting", 7, None))
    volume = counts((64, 256, 256), 2)
    extent3 = identity_extent(volume.shape)
    add(quorlin.rs_detect_peaks3d(volume, extent3, 25.0, 4.0, None, None, None, None, None))
    add(quorlin.rs_detect_peaks3d(volume, extent3, 25.0, 2.0, 5, "radial_symmetry", (1.0, 1.0, 1.0), 0.1,
                                  3000))
    add(quorlin.rs_radial_symmetry_2d(frame[:7, :7]))
    add(quorlin.rs_radial_symmetry_3d(volume[:7, :7, :7]))

    # Integer positions on a small field: many equal distances, so ties in every assignment.
    rng = np.random.default_rng(3)
    points = [np.column_stack([rng.integers(0, 60, (3000, 2)), rng.integers(20, 23, 3000)]).astype(F)
              for _ in range(12)]
    matrix, ends = quorlin.rs_link_points(points, 1.5, 2, 1.2)
    add((matrix, ends))
    points3 = [np.column_stack([p[:, :2], p[:, 1], p[:, 2]]) for p in points]
    matrix3, ends3 = quorlin.rs_link_points_3d(points3, 1.5, 2)
    add((matrix3, ends3))
    ends32, ends3_32 = ends.astype(np.int32), ends3.astype(np.int32)
    valued = np.column_stack([matrix, matrix[:, 0]]).astype(F)
    valued3 = np.column_stack([matrix3, matrix3[:, 0]]).astype(F)
    add(quorlin.rs_draw_tracks(matrix, ends32, (0.0, 60.0, 0.0, 60.0), 0.5)[:2])
    add(quorlin.rs_draw_tracks_value(valued, ends32, (0.0, 60.0, 0.0, 60.0), 0.5)[:3])
    add(quorlin.rs_draw_tracks_3d(matrix3, ends3_32, (0.0, 60.0, 0.0, 60.0, 0.0, 60.0), 1.0)[:2])
    add(quorlin.rs_draw_tracks_value_3d(valued3, ends3_32, (0.0, 60.0, 0.0, 60.0, 0.0, 60.0), 1.0)[:3])
    return h.hexdigest()


def test_every_call_and_a_single_core_give_the_same_bytes(python_subprocess):
    first = digest()
    assert digest() == first
    child = python_subprocess(f"""
        import os, sys
        os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        import test_determinism
        print(len(os.sched_getaffinity(0)), test_determinism.digest())
        """, timeout=600)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["1", first]
