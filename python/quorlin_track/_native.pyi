"""Native kernels of quorlin_track (private; use the functions of quorlin_track)."""

from typing import Any

import numpy as np
import numpy.typing as npt

def displacement_sums(
    frames: npt.NDArray[np.int64],
    positions: npt.NDArray[np.float64],
    track_starts: npt.NDArray[np.int64],
    max_lag: int,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64], npt.NDArray[np.uint64],
           npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def independent_displacements(
    n: npt.NDArray[np.float64], t: npt.NDArray[np.float64]
) -> npt.NDArray[np.float64]: ...
def sum_independent_displacements(
    n: npt.NDArray[np.float64], first: npt.NDArray[np.uint64], last: npt.NDArray[np.uint64]
) -> npt.NDArray[np.float64]: ...
def available_memory() -> int: ...

def refine_spots(
    frame: npt.NDArray[Any],
    y: npt.NDArray[np.float64],
    x: npt.NDArray[np.float64],
    window: int,
    sigma: float | None,
    gain: float,
    offset: float,
) -> dict[str, npt.NDArray[Any]]: ...

def bandpass(
    frame: npt.NDArray[np.float32], noise_size: float, feature_size: float
) -> npt.NDArray[np.float32]: ...

def set_thread_limit(n: int) -> None: ...
def thread_limit() -> int: ...
def active_parallelism() -> int: ...

def detect_frames(
    chunk: npt.NDArray[Any],
    threshold: float | None,
    min_distance: float,
    method: str | None,
    window: int | None,
    max_peaks: int | None,
    stop: npt.NDArray[np.uint8] | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32]]: ...
def background(frame: npt.NDArray[Any]) -> tuple[float, float, float]: ...
def detect_spot_frames(
    chunk: npt.NDArray[Any],
    diameter: int,
    threshold: float | None,
    min_distance: float,
    gain: float,
    offset: float,
    read_noise: float | None,
    camera: bool,
    invert: bool,
    keep_hot_pixels: bool,
    stop: npt.NDArray[np.uint8] | None = None,
    stuck: npt.NDArray[np.int64] | None = None,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32], npt.NDArray[np.float32],
           npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32],
           npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.uint8],
           npt.NDArray[np.int64]]: ...

SPOT_SIGMAS: float
def find_stuck_pixels(mean: npt.NDArray[np.float32]) -> npt.NDArray[np.int64]: ...
def paint_stuck_pixels(planes: npt.NDArray[np.float32], stuck: npt.NDArray[np.int64]) -> npt.NDArray[np.float32]: ...

def measure_volume_spots(
    volume: npt.NDArray[np.float32],
    positions: npt.NDArray[np.float32],
    window: int,
    keep_hot_pixels: bool,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32], npt.NDArray[np.float32],
           npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32],
           npt.NDArray[np.uint8], npt.NDArray[np.int64]]: ...
def link_particles(
    points: npt.NDArray[np.float32],
    frame_begin: npt.NDArray[np.uint64],
    frame_number: npt.NDArray[np.int64],
    max_distance: float,
    max_skip: int,
    max_intensity_ratio: float | None,
    stop: npt.NDArray[np.uint8] | None = None,
    motion: str = "position",
    initial_distance: float | None = None,
) -> npt.NDArray[np.int64]: ...
def track_geometry(
    positions: npt.NDArray[np.float64], track_starts: npt.NDArray[np.int64]
) -> tuple[
    npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.uint64]
]: ...
