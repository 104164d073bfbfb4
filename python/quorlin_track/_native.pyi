"""Types of quorlin_track's native kernels."""

from typing import Any

import numpy as np
import numpy.typing as npt

def displacement_sums(
    frames: npt.NDArray[np.int64],
    positions: npt.NDArray[np.float64],
    track_starts: npt.NDArray[np.int64],
    max_lag: int,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

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
