"""How many threads quorlin's parallel stages may use in this process.

Every parallel stage, of ``quorlin_track`` and of the raw ``quorlin`` module alike, runs on one
oneTBB pool per process, which by default has one thread per logical processor. Processes that share
a machine (Dask workers, a ``multiprocessing`` pool) should each take their share of the cores.
Results never depend on the number of threads.
"""

from __future__ import annotations

import contextlib
import operator
from collections.abc import Iterator

from . import _native

__all__ = ["get_threads", "set_threads", "threads"]

#: Far above any machine's processor count; a larger request is surely a mistake.
MAX_THREADS = 1 << 16


def _checked(n: int | None) -> int:
    """n as the native limit: a count of threads, 0 for the default."""
    if n is None:
        return 0
    if isinstance(n, bool):
        raise ValueError(f"n must be a non-negative integer or None, got {n!r}")
    try:
        count = operator.index(n)
    except TypeError:
        raise ValueError(f"n must be a non-negative integer or None, got {n!r}") from None
    if not 0 <= count <= MAX_THREADS:
        raise ValueError(f"n must be between 0 and {MAX_THREADS} (0 or None: the default), "
                         f"got {count}")
    return count


def set_threads(n: int | None) -> None:
    """Limit quorlin's thread pool in this process to ``n`` threads.

    Parameters
    ----------
    n : int or None
        Threads, counting the calling thread (1: everything runs on the calling thread). ``None``
        or 0 restores the default, one thread per logical processor.

    Raises
    ------
    ValueError
        If ``n`` is not ``None`` nor an integer from 0 to ``MAX_THREADS``.

    Examples
    --------
    >>> import quorlin_track as qt
    >>> qt.set_threads(2)      # e.g. one of four worker processes on an 8-core machine
    >>> qt.get_threads()
    2
    >>> qt.set_threads(None)   # back to the default
    """
    _native.set_thread_limit(_checked(n))


def get_threads() -> int | None:
    """The limit set by :func:`set_threads` or :func:`threads`, or ``None`` for the default."""
    return _native.thread_limit() or None


@contextlib.contextmanager
def threads(n: int | None) -> Iterator[None]:
    """Limit quorlin's thread pool to ``n`` threads within a ``with`` block.

    The setting in force before the block (the default or an outer limit) comes back when the
    block ends, also on an exception; blocks nest. ``n`` is as for :func:`set_threads`.

    Examples
    --------
    >>> import quorlin_track as qt
    >>> with qt.threads(1):
    ...     pass   # quorlin calls here run on the calling thread only
    """
    count = _checked(n)
    previous = _native.thread_limit()
    _native.set_thread_limit(count)
    try:
        yield
    finally:
        _native.set_thread_limit(previous)
