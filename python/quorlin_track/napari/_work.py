"""The widget's work, done off the GUI thread: one frame's spots for the preview, and a whole
movie's tracks in chunks of frames, so that a cancel request stops the work between two chunks."""

from __future__ import annotations

import inspect
import time
from collections.abc import Generator, Mapping
from typing import Any

import numpy as np
import pandas as pd

from .. import batch, link, locate
from ..columns import FRAME
from ..detection import movie_stuck_pixels
from ..movie import Movie

__all__ = ["CHUNK_SECONDS", "frame_spots", "frames", "track_movie"]

#: Work per chunk of frames, in seconds: a cancel request waits for at most about this long, and
#: the progress bar moves at least this often; each chunk costs a little setup (a few ms).
CHUNK_SECONDS = 0.1
# The first chunk is one frame (its time sizes the next); a chunk at most doubles the one before,
# so that a frame much slower than the first cannot make one chunk run for long.
_GROWTH = 2


def frame_spots(movie: Movie, t: int, detect: Mapping[str, Any]) -> pd.DataFrame:
    """The spots of frame ``t`` as :func:`quorlin_track.locate` finds them.

    Parameters
    ----------
    movie : Movie
        The movie.
    t : int
        The frame, counted from 0.
    detect : mapping of str to object
        Detection keywords of :func:`quorlin_track.batch`; those that ``locate`` does not take
        are left out.

    Returns
    -------
    pandas.DataFrame
        ``locate``'s table, with ``frame`` set to ``t``.
    """
    accepted = inspect.signature(locate).parameters
    spots = locate(movie[t], **{k: v for k, v in detect.items() if k in accepted})
    spots[FRAME] = np.int64(t)
    return spots


def frames(movie: Movie, start: int, stop: int) -> Movie:
    """The frames ``[start, stop)`` of a movie as a movie of their own, read from the same source.

    Examples
    --------
    >>> import numpy as np
    >>> from quorlin_track import open_movie
    >>> part = frames(open_movie(np.arange(16.0).reshape(4, 2, 2)), 1, 3)
    >>> len(part), float(part[0][0, 0])
    (2, 4.0)
    """
    start, stop, _ = slice(start, stop).indices(len(movie))
    count = max(0, stop - start)
    return Movie(movie.name, (count, *movie.frame_shape), movie.dtype,
                 lambda a, b: movie.read(start + a, start + b))


def track_movie(movie: Movie, detect: Mapping[str, Any], linking: Mapping[str, Any]
                ) -> Generator[tuple[int, int], None, pd.DataFrame]:
    """Detect and link a whole movie, chunk by chunk; yields progress after every chunk.

    The spots are those of ``batch(movie, **detect)`` (each frame's spots depend on that frame
    alone) and the tracks those of ``link(spots, **linking)``. Stopping the generator between two
    yields (napari's worker does so on ``quit()``) ends the work within about
    :data:`CHUNK_SECONDS`.

    Parameters
    ----------
    movie : Movie
        The movie.
    detect, linking : mapping of str to object
        Keywords of :func:`quorlin_track.batch` and :func:`quorlin_track.link`.

    Yields
    ------
    (int, int)
        Frames done and frames in all.

    Returns
    -------
    pandas.DataFrame
        The track table: ``link(batch(movie, **detect), **linking)``.
    """
    total = len(movie)
    # Stuck pixels are found on the whole movie, once, as batch finds them.
    detect = {**detect, "stuck_pixels": movie_stuck_pixels(movie, **detect)}
    parts: list[pd.DataFrame] = []
    done, size = 0, 1
    while done < total:
        stop = min(total, done + size)
        clock = time.perf_counter()
        part = batch(frames(movie, done, stop), **detect, progress=False)
        elapsed = max(time.perf_counter() - clock, 1e-9)
        part[FRAME] += done
        parts.append(part)
        size = max(1, min(_GROWTH * size, int(CHUNK_SECONDS * (stop - done) / elapsed)))
        done = stop
        yield done, total
    kept = [p for p in parts if len(p)] or parts[:1]
    spots = pd.concat(kept, ignore_index=True) if kept else batch(movie, **detect, progress=False)
    return link(spots, **linking)
