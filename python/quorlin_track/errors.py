"""The package's own exception types."""

from __future__ import annotations

__all__ = ["MovieError"]


class MovieError(ValueError):
    """A movie that cannot be opened or a frame that cannot be read; the message names the source
    and the problem."""

