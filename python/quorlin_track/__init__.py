"""quorlin_track: from a movie to a track table, and on to analysis, figures and files.

The user layer over the raw ``quorlin`` module. Tables are pandas DataFrames with one row per
detection and the columns ``frame``, ``z`` (volumes only), ``y``, ``x`` (pixel units; ``x`` is the
column axis, axis 1 of a 2-D frame) and, once linked, ``particle``.
"""

from __future__ import annotations

import logging

from ._version import __version__

__all__: list[str] = ["__version__"]

# The package reports through the logger "quorlin_track" (a damaged file, rows left out of a
# figure); an application decides where that goes, and nothing reaches the terminal unasked.
logging.getLogger(__name__).addHandler(logging.NullHandler())

# Movie to track table.
from .detection import auto_threshold, batch, find_stuck_pixels, locate
from .linking import link
from .movie import Movie, MovieError, open_movie
from .rendering import Rendering, render

__all__ += ["Movie", "MovieError", "Rendering", "auto_threshold", "batch", "find_stuck_pixels", "link",
            "locate", "open_movie", "render"]

# Analysis, viewers and files.
from .analysis import diffusion, emsd, imsd
from .files import load, save
from .interop import to_napari

__all__ += ["imsd", "emsd", "diffusion", "to_napari", "save", "load"]

# Results per track.
from .tracks import track_table  # noqa: E402

__all__ += ["track_table"]

# Maximum-likelihood spot fits and the band-pass prefilter.
from ._refine import bandpass, refine  # noqa: E402
from .detection import detect_and_refine  # noqa: E402

__all__ += ["bandpass", "detect_and_refine", "refine"]

# Thread control.
from ._threads import get_threads, set_threads, threads  # noqa: E402

__all__ += ["get_threads", "set_threads", "threads"]
