"""quorlin on a dask.distributed cluster: detection over a chunked movie, then linking and rendering.

A movie that does not fit one machine is a dask.array of frames, chunked along time. Each chunk is
detected where it lives, on a worker process: the worker runs rs_detect_peaks (or
rs_detect_peaks3d for volumes) frame by frame and sends back only the per-frame points, which are
small. The client gathers them in frame order, links them into tracks (rs_link_points /
rs_link_points_3d) and renders a density image (rs_draw_tracks / rs_draw_tracks_3d).

Here the movie is simulated lazily: each chunk is imaged on the worker that detects it, from the
particle trajectories (small) and a random seed per chunk, so the frames never travel. With
--compare the same chain also runs in this process and the results are checked to be identical.

By default a LocalCluster with worker processes is started; --scheduler connects to a running
cluster instead (its workers need numpy and quorlin installed; this file's code is shipped to them).

Each worker process runs its tasks on a few Dask threads, and each task's parallel stages on the
process's oneTBB pool, which by default has one thread per processor. Worker processes sharing a
machine therefore each get their share: processes x Dask threads x pool threads <= processors (a
worker plugin sets the pool, also on workers that join or restart later).
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
from distributed import WorkerPlugin

import quorlin

sys.path.insert(0, str(Path(__file__).resolve().parent))
import demo  # noqa: E402
import synthetic  # noqa: E402
from demo import detect_movie, link  # noqa: E402
from synthetic import image_frames, simulate_motion  # noqa: E402


def detect_frames(frames, threshold, min_distance, window):
    """Detect and localize (radial symmetry) every frame of a block (T, ...) of 2-D frames or
    3-D volumes; returns one float32 array per frame with the columns (position..., intensity)."""
    return detect_movie(frames, threshold, min_distance, window, progress=False)


def link_and_render(points, shape, max_distance, max_skip, max_intensity_ratio, pixel_size):
    """Link the per-frame points and render the tracks' density. Returns a dict of arrays; the
    end indices are int32, as the renderers take them."""
    matrix, ends = link(points, max_distance, max_skip, max_intensity_ratio)
    extent = tuple(float(v) for n in shape for v in (0, n))
    draw = quorlin.rs_draw_tracks if len(shape) == 2 else quorlin.rs_draw_tracks_3d
    density, counts, grid = draw(matrix, ends, extent, pixel_size)
    return {"matrix": matrix, "track_end_indices": ends, "density": density, "counts": counts,
            "grid": np.array(grid)}


def image_chunk(positions, visible, shape, sigma, photons, background, read_noise, seed, start):
    """Frames start ... start + len(positions) - 1 of the simulated movie; the noise depends only
    on the seed and the first frame's number, never on where the chunk is imaged."""
    rng = np.random.default_rng([seed, start])
    return image_frames(positions, visible, shape, sigma, photons, background, read_noise, rng)


def lazy_movie(positions, visible, shape, sigma, photons, background, read_noise, seed, chunk):
    """The simulated movie as a dask.array chunked along time by `chunk` frames; nothing is
    imaged until a chunk is computed."""
    import dask
    import dask.array as da

    blocks = []
    for start in range(0, len(positions), chunk):
        stop = min(start + chunk, len(positions))
        block = dask.delayed(image_chunk, pure=True)(
            positions[start:stop], visible[start:stop], tuple(shape), sigma, photons, background,
            read_noise, seed, start)
        blocks.append(da.from_delayed(block, shape=(stop - start,) + tuple(shape),
                                      dtype=np.float32))
    return da.concatenate(blocks, axis=0)


def submit_detection(movie, client, threshold, min_distance, window):
    """Starts the detection of every chunk of a dask.array movie on the cluster's workers; returns
    one future per chunk, in frame order. The tasks are pure: a chunk lost with its worker is
    imaged and detected again, with the same result."""
    import dask

    # Whole frames per chunk: a frame must not be split across workers.
    movie = movie.rechunk({axis: -1 for axis in range(1, movie.ndim)})
    tasks = [dask.delayed(detect_frames, pure=True)(block, threshold, min_distance, window)
             for block in movie.to_delayed().ravel()]
    return client.compute(tasks)


def gather_points(client, futures):
    """The per-frame points of the chunks' futures, in frame order."""
    return [points for chunk_points in client.gather(futures) for points in chunk_points]


def detect_distributed(movie, client, threshold, min_distance, window):
    """Detection of every chunk of a dask.array movie on the cluster's workers; returns the
    per-frame points, gathered in frame order."""
    return gather_points(client, submit_detection(movie, client, threshold, min_distance, window))


def run_single_process(frames, config):
    """The reference chain in this process on an in-memory movie (T, ...)."""
    points = detect_frames(frames, config.threshold, config.min_distance, config.window)
    result = link_and_render(points, frames.shape[1:], config.max_distance, config.max_skip,
                             config.max_intensity_ratio, config.pixel_size)
    return points, result


def run_distributed(movie, client, config):
    """The chain with detection on the cluster; linking and rendering on the client."""
    points = detect_distributed(movie, client, config.threshold, config.min_distance,
                                config.window)
    result = link_and_render(points, movie.shape[1:], config.max_distance, config.max_skip,
                             config.max_intensity_ratio, config.pixel_size)
    return points, result


def identical(points_a, result_a, points_b, result_b):
    """True when both chains gave bit-identical per-frame points and results."""
    if len(points_a) != len(points_b):
        return False
    same_points = all(a.shape == b.shape and a.tobytes() == b.tobytes()
                      for a, b in zip(points_a, points_b))
    same_results = all(result_a[k].dtype == result_b[k].dtype
                       and result_a[k].shape == result_b[k].shape
                       and result_a[k].tobytes() == result_b[k].tobytes() for k in result_a)
    return same_points and same_results


def ship_code_to_workers():
    """Send this file's, the demo's and the simulation's functions to the workers by value, so
    workers of a remote cluster need not have the examples directory."""
    import cloudpickle

    for module in (sys.modules[__name__], demo, synthetic):
        if module.__name__ != "__main__":
            cloudpickle.register_pickle_by_value(module)


def processors():
    """Processors this process may run on."""
    return len(os.sched_getaffinity(0))


def pool_threads(processes_per_host, dask_threads, available):
    """oneTBB threads per worker process such that processes x Dask threads x pool threads stays
    within the available processors (at least one: the task's own thread)."""
    return max(1, available // (processes_per_host * dask_threads))


class PoolThreads(WorkerPlugin):
    """Worker plugin: limits each worker process's oneTBB pool to its share of its machine, or to
    a fixed number of threads. Runs on every worker, including those that join or restart later."""

    name = "quorlin-pool-threads"

    def __init__(self, processes_per_host, threads=None):
        self.processes_per_host = processes_per_host
        self.threads = threads

    def setup(self, worker):
        import quorlin_track

        quorlin_track.set_threads(self.threads or pool_threads(
            self.processes_per_host, worker.state.nthreads, processors()))


def start_client(scheduler=None, workers=2, threads_per_worker=1, dashboard=False, threads=None):
    """A client of the given scheduler, or of a new LocalCluster with worker processes, whose
    workers' oneTBB pools are limited (threads per worker process; default: their share of the
    machine). Returns (client, cluster or None)."""
    from collections import Counter

    from distributed import Client, LocalCluster

    ship_code_to_workers()
    if scheduler:
        client, cluster = Client(scheduler), None
        hosts = Counter(w["host"] for w in client.scheduler_info()["workers"].values())
        processes_per_host = max(hosts.values(), default=1)
    else:
        # Without the dashboard the scheduler still serves HTTP (metrics): on a free port, so
        # that clusters started side by side on one machine do not compete for port 8787.
        cluster = LocalCluster(n_workers=workers, threads_per_worker=threads_per_worker,
                               processes=True, dashboard_address=":8787" if dashboard else None,
                               scheduler_kwargs=None if dashboard else {"dashboard_address": ":0"})
        client, processes_per_host = Client(cluster), workers
    client.register_plugin(PoolThreads(processes_per_host, threads))
    return client, cluster


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scheduler", metavar="ADDRESS", default=None,
                        help="address of a running dask scheduler, e.g. tcp://10.0.0.5:8786 "
                             "(default: start a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the LocalCluster (default 2)")
    parser.add_argument("--threads-per-worker", type=int, default=1,
                        help="Dask threads per worker process (default 1)")
    parser.add_argument("--pool-threads", type=int, default=None,
                        help="threads of quorlin's pool in each worker process (default: the "
                             "processors of its machine divided by worker processes there and by "
                             "Dask threads)")
    parser.add_argument("--dashboard", action="store_true",
                        help="serve the dask dashboard on port 8787")
    parser.add_argument("--particles", type=int, default=400, help="particles (default 400)")
    parser.add_argument("--frames", type=int, default=200, help="frames (default 200)")
    parser.add_argument("--size", type=int, default=256, help="frame edge in pixels (default 256)")
    parser.add_argument("--chunk", type=int, default=25, help="frames per chunk (default 25)")
    parser.add_argument("--photons", type=float, default=1500.0,
                        help="photons per spot (default 1500)")
    parser.add_argument("--background", type=float, default=10.0,
                        help="background photons per pixel (default 10)")
    parser.add_argument("--read-noise", type=float, default=1.5,
                        help="Gaussian read noise in photons (default 1.5)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--output", type=Path, default=None,
                        help="write the tracks and the density image to this .npz file")
    parser.add_argument("--compare", action="store_true",
                        help="also run the chain in this process and check identical results")
    args = parser.parse_args(argv)
    if args.frames < 2 or args.particles < 1 or args.size < 8 or args.chunk < 1:
        parser.error("need at least 2 frames, 1 particle, 8 pixels and 1 frame per chunk")
    if args.workers < 1 or args.threads_per_worker < 1 or (args.pool_threads or 1) < 1:
        parser.error("need at least 1 worker, 1 thread per worker and 1 pool thread")
    return args


class Config:
    """Parameters of the chain, derived from the simulation's settings like the demo's."""

    def __init__(self, photons, background, read_noise, sigma=1.3, diffusion=0.25, max_skip=2):
        peak = photons / (2 * np.pi * sigma**2)
        self.threshold = background + max(peak / 3.0, 5.0 * np.sqrt(background + read_noise**2))
        self.min_distance = 3.0
        self.window = 7
        self.max_skip = max_skip
        self.max_distance = max(2.0, 3.0 * np.sqrt(2.0 * diffusion * (max_skip + 1)))
        self.max_intensity_ratio = 3.0
        self.pixel_size = 0.25


def simulated_movie(particles, frames, size, photons, background, read_noise, seed, chunk,
                    sigma=1.3, diffusion=0.25):
    """The lazily imaged dask.array movie and its trajectories (positions, visible)."""
    rng = np.random.default_rng(seed)
    shape = (size, size)
    positions, visible = simulate_motion(shape, particles, frames, diffusion, 0.05, 0.5, rng)
    movie = lazy_movie(positions, visible, shape, np.array([sigma, sigma]), photons, background,
                       read_noise, seed, chunk)
    return movie, positions, visible


def main(argv=None):
    args = parse_args(argv)
    config = Config(args.photons, args.background, args.read_noise)
    movie, _, _ = simulated_movie(args.particles, args.frames, args.size, args.photons,
                                  args.background, args.read_noise, args.seed, args.chunk)
    print(f"movie: {movie.shape[0]} frames of {movie.shape[1]} x {movie.shape[2]} pixels in "
          f"{movie.numblocks[0]} chunks of up to {args.chunk} frames")
    clock = time.perf_counter()
    client, cluster = start_client(args.scheduler, args.workers, args.threads_per_worker,
                                   args.dashboard, args.pool_threads)
    try:
        import quorlin_track

        pools = sorted(set(client.run(quorlin_track.get_threads).values()), key=str)
        print(f"cluster: {len(client.scheduler_info()['workers'])} workers "
              f"(pool threads per worker: {', '.join(map(str, pools))}), started in "
              f"{time.perf_counter() - clock:.1f} s")
        clock = time.perf_counter()
        points, result = run_distributed(movie, client, config)
        seconds = time.perf_counter() - clock
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    detections = sum(len(p) for p in points)
    print(f"distributed chain: {detections} detections, {len(result['track_end_indices'])} "
          f"tracks, {len(result['matrix'])} track points, density image "
          f"{result['density'].shape[0]} x {result['density'].shape[1]} in {seconds:.2f} s "
          f"({len(points) / seconds:.1f} frames/s)")
    status = 0
    if args.compare:
        clock = time.perf_counter()
        frames = movie.compute(scheduler="synchronous")
        local_points, local_result = run_single_process(frames, config)
        same = identical(points, result, local_points, local_result)
        print(f"single-process chain: {time.perf_counter() - clock:.2f} s; results "
              f"{'identical' if same else 'DIFFERENT'}")
        status = 0 if same else 1
    if args.output is not None:
        np.savez_compressed(args.output, **result)
        print(f"wrote {args.output}")
    return status


if __name__ == "__main__":
    sys.exit(main())
