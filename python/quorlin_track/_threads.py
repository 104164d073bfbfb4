"""How many threads quorlin's parallel stages may use in this process.

Every parallel stage, of ``quorlin_track`` and of the raw ``quorlin`` module alike, runs on one
oneTBB pool per process, which by default has one thread per logical processor. Processes that share
a machine (Dask workers, a ``multiprocessing`` pool) should each take their share of the cores.
Results never depend on the number of threads.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Iterator

from . import _native
from .validation import integer

__all__ = ["get_threads", "set_threads", "threads"]

#: Far above any machine's processor count; a larger request is surely a mistake.
MAX_THREADS = 1 << 16

# The limit is one for the whole process (the pool is), so the open `threads` blocks of every
# thread share one stack, under one lock: the limit in force is that of the block entered last
# among those still open, else the one set_threads set. A block that ends removes its own entry,
# wherever it stands, so blocks in several threads may end in any order.
_lock = threading.Lock()
_base = 0  # set by set_threads; 0: the default
_blocks: list[tuple[object, int]] = []  # (token of an open block, its limit), oldest first


def _checked(n: int | None) -> int:
    """n as the native limit: a count of threads, 0 for the default."""
    if n is None:
        return 0
    return integer("n", n, low=0, high=MAX_THREADS, unit="threads; 0 or None: the default")


def _apply() -> None:
    """Sets the native limit to the one in force; called with the lock held."""
    _native.set_thread_limit(_blocks[-1][1] if _blocks else _base)


def set_threads(n: int | None) -> None:
    """Limit quorlin's thread pool in this process to ``n`` threads.

    Parameters
    ----------
    n : int or None
        Threads, counting the calling thread (1: everything runs on the calling thread). ``None``
        or 0 restores the default, one thread per logical processor.

    Raises
    ------
    TypeError
        If ``n`` is neither ``None`` nor an integer.
    ValueError
        If ``n`` is an integer outside 0 to ``MAX_THREADS``.

    Notes
    -----
    While a :func:`threads` block is open (in any thread), its limit stays in force; the limit
    set here holds once every block has ended.

    Examples
    --------
    >>> import quorlin_track as qt
    >>> qt.set_threads(2)      # e.g. one of four worker processes on an 8-core machine
    >>> qt.get_threads()
    2
    >>> qt.set_threads(None)   # back to the default
    """
    global _base
    count = _checked(n)
    with _lock:
        _base = count
        _apply()


def get_threads() -> int | None:
    """The limit in force, set by :func:`set_threads` or :func:`threads`, or ``None`` for the
    default."""
    return _native.thread_limit() or None


@contextlib.contextmanager
def threads(n: int | None) -> Iterator[None]:
    """Limit quorlin's thread pool to ``n`` threads within a ``with`` block.

    The limit is one for the whole process. Blocks nest, and blocks in several threads may overlap:
    the limit in force is that of the block entered last among those still open (in any thread),
    or, when none is open, the one :func:`set_threads` set (the default if none). So when a block
    ends, the limit of the blocks still open, or the process setting, comes back, also on an
    exception and whatever order the blocks of different threads end in. ``n`` is as for
    :func:`set_threads`.

    Examples
    --------
    >>> import quorlin_track as qt
    >>> with qt.threads(1):
    ...     pass   # quorlin calls here run on the calling thread only
    """
    count = _checked(n)
    token = object()
    with _lock:
        _blocks.append((token, count))
        _apply()
    try:
        yield
    finally:
        with _lock:
            _blocks[:] = [block for block in _blocks if block[0] is not token]
            _apply()
