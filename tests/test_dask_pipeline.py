"""The Dask scale-out example: detection on two worker processes gives exactly the arrays of the
single-process chain."""

import os
import signal
import sys
from pathlib import Path

import distributed
import numpy as np
import pytest

import quorlin
import quorlin_track

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import dask_pipeline  # noqa: E402

FRAMES, SIZE, CHUNK = 12, 96, 5


@pytest.fixture(scope="module")
def client():
    client, cluster = dask_pipeline.start_client(workers=2, threads_per_worker=1)
    yield client
    client.close()
    cluster.close()


@pytest.fixture(scope="module")
def movie():
    dask_movie, positions, visible = dask_pipeline.simulated_movie(
        particles=40, frames=FRAMES, size=SIZE, photons=1500.0, background=10.0, read_noise=1.5,
        seed=3, chunk=CHUNK)
    return dask_movie, positions, visible


@pytest.fixture(scope="module")
def config():
    return dask_pipeline.Config(photons=1500.0, background=10.0, read_noise=1.5)


def reference_chain(frames, config):
    """The chain written out call by call, in this process."""
    extent = (0.0, SIZE - 1.0, 0.0, SIZE - 1.0)
    points = []
    for frame in frames:
        positions, intensities = quorlin.rs_detect_peaks(
            frame, extent, config.threshold, config.min_distance, "radial_symmetry",
            config.window, None)
        points.append(np.column_stack([positions, intensities]).astype(np.float32))
    matrix, ends = quorlin.rs_link_points(points, config.max_distance, config.max_skip,
                                          config.max_intensity_ratio)
    ends = ends.astype(np.int32)
    density, counts, grid = quorlin.rs_draw_tracks(matrix, ends, (0.0, SIZE, 0.0, SIZE),
                                                   config.pixel_size)
    return points, {"matrix": matrix, "track_end_indices": ends, "density": density,
                    "counts": counts, "grid": np.array(grid)}


def assert_identical(points, result, expected_points, expected_result):
    assert len(points) == len(expected_points)
    for got, want in zip(points, expected_points):
        assert got.dtype == want.dtype == np.float32
        np.testing.assert_array_equal(got, want)
    assert result.keys() == expected_result.keys()
    for key, want in expected_result.items():
        assert result[key].dtype == want.dtype, key
        np.testing.assert_array_equal(result[key], want, err_msg=key)


def test_chunks_imaged_on_workers_equal_local_frames(client, movie):
    dask_movie, _, _ = movie
    assert dask_movie.numblocks[0] == 3  # chunks of 5, 5 and 2 frames
    remote = client.compute(dask_movie).result()
    local = dask_movie.compute(scheduler="synchronous")
    assert remote.dtype == np.float32 and remote.shape == (FRAMES, SIZE, SIZE)
    np.testing.assert_array_equal(remote, local)


@pytest.mark.parametrize("spatial_chunks", [False, True], ids=["frame-chunks", "tile-chunks"])
def test_distributed_chain_matches_single_process(client, movie, config, spatial_chunks):
    dask_movie, positions, visible = movie
    if spatial_chunks:
        # Tiles are joined back into whole frames before detection.
        dask_movie = dask_movie.rechunk((4, SIZE // 2, SIZE // 3))
    points, result = dask_pipeline.run_distributed(dask_movie, client, config)
    frames = dask_movie.compute(scheduler="synchronous")
    expected_points, expected_result = reference_chain(frames, config)
    assert_identical(points, result, expected_points, expected_result)
    # The chain did real work: most particles found, tracks formed.
    assert sum(len(p) for p in points) > 0.7 * visible.sum()
    assert len(result["track_end_indices"]) >= 10
    assert result["density"].shape == (SIZE * 4, SIZE * 4)


def test_single_process_helper_matches_reference(movie, config):
    dask_movie, _, _ = movie
    frames = dask_movie.compute(scheduler="synchronous")
    assert_identical(*dask_pipeline.run_single_process(frames, config),
                     *reference_chain(frames, config))


def test_identical_detects_a_changed_bit(movie, config):
    dask_movie, _, _ = movie
    frames = dask_movie.compute(scheduler="synchronous")
    points, result = dask_pipeline.run_single_process(frames, config)
    assert dask_pipeline.identical(points, result, points, result)
    changed = [p.copy() for p in points]
    changed[3][0, 0] = np.nextafter(changed[3][0, 0], np.float32(np.inf))
    assert not dask_pipeline.identical(changed, result, points, result)
    ends = result["track_end_indices"].astype(np.uint32)  # same values, other dtype
    assert not dask_pipeline.identical(points, dict(result, track_end_indices=ends), points,
                                       result)


def test_a_worker_killed_mid_run_changes_no_result(config):
    """One of two worker processes dies while the chunks are being detected: its finished and
    running chunks are recomputed elsewhere, the nanny restarts it with the same pool limit, and
    the arrays equal the single-process chain's."""
    frames, chunk = 48, 2
    dask_movie, _, _ = dask_pipeline.simulated_movie(
        particles=60, frames=frames, size=SIZE, photons=1500.0, background=10.0, read_noise=1.5,
        seed=5, chunk=chunk)
    client, cluster = dask_pipeline.start_client(workers=2, threads_per_worker=1)
    try:
        pids = client.run(os.getpid)
        futures = dask_pipeline.submit_detection(dask_movie, client, config.threshold,
                                                 config.min_distance, config.window)
        next(distributed.as_completed(futures))
        pending = sum(not f.done() for f in futures)
        os.kill(pids[min(pids)], signal.SIGKILL)
        points = dask_pipeline.gather_points(client, futures)
        result = dask_pipeline.link_and_render(points, dask_movie.shape[1:], config.max_distance,
                                               config.max_skip, config.max_intensity_ratio,
                                               config.pixel_size)
        client.wait_for_workers(2, timeout=120)
        new_pids = client.run(os.getpid)
        pools = client.run(quorlin_track.get_threads)
    finally:
        client.close()
        cluster.close()
    assert pending > 0  # killed in the middle of the run
    assert pids[min(pids)] not in new_pids.values()
    assert set(pools.values()) == {dask_pipeline.pool_threads(2, 1, dask_pipeline.processors())}
    assert_identical(points, result,
                     *reference_chain(dask_movie.compute(scheduler="synchronous"), config))
