"""Types of quorlin_track's native kernels."""

import numpy as np
import numpy.typing as npt

def displacement_sums(
    frames: npt.NDArray[np.int64],
    positions: npt.NDArray[np.float64],
    track_starts: npt.NDArray[np.int64],
    max_lag: int,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
