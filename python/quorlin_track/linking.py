"""Linking of a detection table into particles."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd

from . import _native
from .columns import FRAME, INTENSITY, PARTICLE, spatial_columns
from .validation import choice, dataframe, integer, keyword_only, real, table_columns, whole_numbers

__all__ = ["MOTIONS", "link", "table_ndim"]

#: The motion models of :func:`link`.
MOTIONS = ("position", "velocity", "drift")

#: Every gap between two int64 frame numbers is at most this: a larger max_skip means the same.
_LONGEST_SKIP = 2**64 - 1


def table_ndim(spots: pd.DataFrame, intensity: bool = True, *, name: str = "spots") -> int:
    """Spatial dimensions of a table: 3 when it has a ``z`` column, else 2.

    Parameters
    ----------
    spots : pandas.DataFrame
        A table of detections.
    intensity : bool, default True
        Whether the table must have an ``intensity`` column too.
    name : str, default "spots"
        The table's argument name, for the messages.

    Returns
    -------
    int
        2 or 3.

    Raises
    ------
    TypeError
        When ``spots`` is not a DataFrame, or a spatial or intensity column holds something else
        than real numbers (complex numbers, dates, text).
    ValueError
        When a spatial column, ``frame`` or (if asked for) ``intensity`` is missing.

    Examples
    --------
    >>> import pandas as pd
    >>> table_ndim(pd.DataFrame(columns=["frame", "y", "x", "intensity"], dtype=float))
    2
    """
    table = dataframe(name, spots)
    ndim = 3 if "z" in table.columns else 2
    values = (*spatial_columns(ndim), *((INTENSITY,) if intensity else ()))
    table_columns(name, table, (FRAME, *values), numeric=values)
    return ndim


@keyword_only("pass max_skip=..., max_intensity_ratio=... by name (max_skip is the peers' memory)")
def link(spots: pd.DataFrame, max_distance: float, *, max_skip: int = 0,
         max_intensity_ratio: float | None = None, motion: str = "position",
         initial_distance: float | None = None) -> pd.DataFrame:
    """Link the detections of successive frames into particles.

    With ``motion="position"`` (the default) every pair of frames up to ``max_skip + 1`` apart is
    solved by an exact optimal assignment
    (least total distance) under the distance gate; links of shorter gaps take precedence. The
    links are exactly those of ``quorlin.rs_link_points`` (``rs_link_points_3d`` for tables with a
    ``z`` column) on the same per-frame points, taken in table order within each frame, where
    frame number ``k`` is item ``k`` of the list (without the intensity gate, or with the raw
    gate's rule where all intensities are positive). The work follows the detections and the
    frames that hold them: frames without detections cost nothing (gaps still count them), and
    frame pairs that cannot give a link are not solved. Ctrl-C stops it without waiting for the
    rest of the work (frame pairs being solved at that moment finish first).

    With ``motion="velocity"`` or ``"drift"`` the tracks are carried forward frame by frame: each
    open track (seen at most ``max_skip + 1`` frames before) is predicted where its motion takes
    it, and each frame's detections are assigned to the predictions by an exact optimal
    assignment (least total distance to the predictions; staying unlinked costs
    ``max_distance``). ``"velocity"``: a track's next position is its last one plus its last step
    per frame times the frames ahead, the step scaled by the track's persistence (how much its
    steps have repeated their predecessors, from 0 for diffusion to 1 for directed motion; a
    steady-state constant-velocity Kalman filter whose gain each track learns). ``"drift"``: all
    tracks share one velocity, the median step of the previous frame's unambiguous links (a stage
    or a flow). Across a gap the prediction runs over the missing frames. A track without a
    velocity yet (its first link; under ``"drift"`` every link before the first) is gated by
    ``initial_distance`` around its last position, and of its candidates the one whose straight
    continuation meets a detection of the next frames is preferred.

    Parameters
    ----------
    spots : pandas.DataFrame
        Detections with the columns ``frame`` (whole numbers, any int64 value), ``y``, ``x`` (and
        ``z`` for volumes) in pixels, as :func:`batch` returns them; ``intensity`` too when
        ``max_intensity_ratio`` is given. A detection with a NaN or infinite position never
        links.
    max_distance : float
        Longest link, in pixels (the distance between the two positions, whatever the gap).
    max_skip : int, default 0
        Number of frames a particle may be missing between two detections (keyword only).
    max_intensity_ratio : float, optional
        2-D only (keyword only): refuse a link when the larger intensity exceeds this many times
        the smaller one; at least 1 (``inf``: no limit on the ratio). Two equal intensities always
        pass; otherwise both must be of the same sign and non-zero (a negative intensity, as
        background subtraction gives, links only to a negative one). A NaN intensity passes.
    motion : {"position", "velocity", "drift"}
        Where a particle is expected: where it was (the default), where its own recent motion
        takes it, or where the common motion of all particles takes it.
    initial_distance : float, optional
        ``"velocity"`` and ``"drift"`` only: longest link, in pixels, of a track without a
        velocity (from its last position); ``max_distance`` is then the gate around the predicted
        position. By default ``max_distance``. Set it to the longest step per frame (e.g. 7 for
        motion of up to 6 pixels per frame) and ``max_distance`` to the prediction's error (2-4).

    Returns
    -------
    pandas.DataFrame
        A copy of ``spots`` (same rows, same order) with the int64 column ``particle``. Every
        detection keeps its row; one without any link is a particle of its own. Particles are
        numbered from 0 in the order of their first detection (frame, then table order).

    Raises
    ------
    TypeError
        ``spots`` is not a DataFrame, a column holds something else than real numbers (complex,
        dates, text), an argument has the wrong type, or one after ``max_distance`` is passed by
        position.
    ValueError
        Missing columns, frames that are not whole int64 numbers, a negative ``max_skip``, a
        ``max_distance`` that is not positive and finite (or outside 0.000001 to about 9.2e11), a
        ratio below 1 or NaN, an intensity ratio for a 3-D table, an unknown ``motion``, or an
        ``initial_distance`` with ``motion="position"``.
    MemoryError
        The working memory cannot be had; the message says how much was to be linked.
    KeyboardInterrupt
        Ctrl-C; nothing is returned.

    Examples
    --------
    >>> import pandas as pd
    >>> spots = pd.DataFrame({"frame": [0, 0, 1, 1], "y": [1.0, 9.0, 9.5, 1.2],
    ...                       "x": [1.0, 9.0, 9.0, 1.1]})
    >>> link(spots, max_distance=2)["particle"].tolist()
    [0, 1, 1, 0]

    Two particles moving 5 pixels per frame in opposite directions pass 2 pixels apart; predicted
    from their own steps they keep their identities where the nearest detection would swap them:

    >>> passing = pd.DataFrame({"frame": [0, 0, 1, 1, 2, 2, 3, 3],
    ...                         "y": [0.0, 2.0, 0.0, 2.0, 0.0, 2.0, 0.0, 2.0],
    ...                         "x": [0.0, 15.0, 5.0, 10.0, 10.0, 5.0, 15.0, 0.0]})
    >>> link(passing, max_distance=2, motion="velocity", initial_distance=6)["particle"].tolist()
    [0, 1, 0, 1, 0, 1, 0, 1]
    """
    gated = max_intensity_ratio is not None
    ndim = table_ndim(spots, intensity=gated)
    table = spots
    distance = real("max_distance", max_distance, low=0, low_open=True, unit="pixels")
    skip = min(integer("max_skip", max_skip, low=0, unit="frames"), _LONGEST_SKIP)
    ratio = None
    if gated:
        ratio = real("max_intensity_ratio", max_intensity_ratio, low=1, finite=False)
        if ndim == 3:
            raise ValueError("max_intensity_ratio applies to 2-D tables only")
    motion = choice("motion", motion, MOTIONS)
    if initial_distance is not None:
        if motion == "position":
            raise ValueError("initial_distance applies to motion 'velocity' or 'drift' only")
        initial_distance = real("initial_distance", initial_distance, low=0, low_open=True,
                                unit="pixels")
    columns = (*spatial_columns(ndim), *((INTENSITY,) if gated else ()))
    frames = whole_numbers("spots", table, FRAME)

    order = np.argsort(frames, kind="stable")
    ordered = frames[order]
    points = np.zeros((len(table), ndim + 1), dtype=np.float32)
    for k, name in enumerate(columns):
        points[:, k] = table[name].to_numpy(dtype=np.float32, na_value=np.nan)[order]
    # Frames with detections only: frame k (numbered numbers[k]) holds rows frame_begin[k:k + 2].
    starts = np.flatnonzero(np.diff(ordered, prepend=ordered[:1] - 1))
    frame_begin = np.append(starts, len(ordered)).astype(np.uint64)
    numbers = ordered[starts]
    ids = _run(points, frame_begin, numbers, distance, skip, ratio, motion, initial_distance)
    particle = np.empty(len(table), dtype=np.int64)
    particle[order] = ids
    linked = table.copy()
    linked[PARTICLE] = particle
    return linked


def _run(points: np.ndarray, frame_begin: np.ndarray, numbers: np.ndarray, distance: float,
         skip: int, ratio: float | None, motion: str, initial_distance: float | None) -> np.ndarray:
    """The native linking on a helper thread, so that the calling thread stays free to take
    Ctrl-C: it then sets the stop flag, and the workers skip every step not yet started."""
    stop = np.zeros(1, np.uint8)
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorlin-link") as helper:
        done = helper.submit(_native.link_particles, points, frame_begin, numbers, distance,
                             skip, ratio, stop, motion, initial_distance)
        try:
            ids: np.ndarray = done.result()
        except BaseException:
            stop[0] = 1
            raise
    return ids
