"""The one place where array axes meet table columns.

A 2-D frame is indexed ``frame[row, column]``: its axis 0 is the column ``y`` and its axis 1 the
column ``x`` (so ``x`` runs along a row, as in an image viewer). A 3-D volume is indexed
``volume[plane, row, column]``: axis 0 is ``z``, axis 1 ``y``, axis 2 ``x``. Positions are in
pixels: the centre of pixel ``(i, j)`` is at ``y = i``, ``x = j``.

The raw module ``quorlin`` orders point coordinates by axis and calls axis 0 "x", axis 1 "y" and
axis 2 "z" (``matrix_x_y_intensity``). Its coordinate k is therefore the column
``SPATIAL[ndim][k]`` here: the raw "x" is ``y`` of a 2-D table and ``z`` of a 3-D table. Every
conversion between raw arrays and tables goes through :func:`spatial_columns`.
"""

from __future__ import annotations

__all__ = ["BACKGROUND", "FRAME", "INTENSITY", "LOCATED_BY", "LOCATORS", "MASS", "PARTICLE", "SCORE",
           "SIZE", "SNR", "SPATIAL", "spatial_columns"]

FRAME = "frame"
INTENSITY = "intensity"
PARTICLE = "particle"
SCORE = "score"
# Spot measures of the "spots" detector (see quorlin_track.locate).
MASS = "mass"
BACKGROUND = "background"
SIZE = "size"
SNR = "snr"
LOCATED_BY = "located_by"
#: Values of ``located_by``; the first three in the native path's numbering.
LOCATORS = ("radial_symmetry", "gaussian", "centroid", "mle", "gaussian_fitting", "pixel")

#: Column of each array axis, in axis order, by number of spatial dimensions.
SPATIAL: dict[int, tuple[str, ...]] = {2: ("y", "x"), 3: ("z", "y", "x")}


def spatial_columns(ndim: int) -> tuple[str, ...]:
    """Column names of array axes 0, 1[, 2] of a frame with ``ndim`` spatial dimensions.

    Parameters
    ----------
    ndim : int
        2 for images, 3 for volumes.

    Returns
    -------
    tuple of str
        ``("y", "x")`` or ``("z", "y", "x")``.

    Raises
    ------
    ValueError
        For any other number of dimensions.

    Examples
    --------
    >>> spatial_columns(3)
    ('z', 'y', 'x')
    """
    try:
        return SPATIAL[ndim]
    except KeyError:
        raise ValueError(f"frames have 2 or 3 spatial dimensions, not {ndim}") from None
