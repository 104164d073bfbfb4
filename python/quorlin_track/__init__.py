"""quorlin_track: from a movie to a track table, and on to analysis, figures and files.

The user layer over the raw ``quorlin`` module. Tables are pandas DataFrames with one row per
detection and the columns ``frame``, ``z`` (volumes only), ``y``, ``x`` (pixel units; ``x`` is the
column axis, axis 1 of a 2-D frame) and, once linked, ``particle``.
"""

from __future__ import annotations

__all__: list[str] = []
