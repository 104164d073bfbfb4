"""Files written whole: every file the package writes goes through :func:`replacing`.

A regular file is written to a temporary name beside it and renamed over it once complete, so a
reader never sees half a file and an error or interrupt leaves the earlier file as it was. A
symbolic link is followed to its target, which is replaced the same way (the link stays a link).
A FIFO or a device (``/dev/null``, a pipe, a terminal) is written in place: renaming over it
would replace the special file itself. Anything else (a folder, a socket) is refused. Errors name
the path the caller gave, never the temporary one.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import uuid
from collections.abc import Iterator
from pathlib import Path
from typing import BinaryIO

__all__ = ["check_writable", "replacing"]

#: The probe file gets the permissions the umask leaves of these, as any new file does.
_NEW_FILE_MODE = 0o666


def _error(error: OSError, path: str) -> OSError:
    """The same error, naming the caller's ``path`` instead of a temporary or resolved one."""
    return type(error)(error.errno, error.strerror or str(error), path)


def _target(path: str) -> tuple[Path, os.stat_result | None]:
    """Where the bytes of ``path`` go (links followed) and what is there now (None: nothing)."""
    target = Path(os.path.realpath(path))
    try:
        return target, os.stat(target)
    except FileNotFoundError:
        return target, None
    except OSError as error:
        raise _error(error, path) from None


def _refuse_other_kinds(status: os.stat_result | None, path: str) -> bool:
    """Whether the target is a FIFO or a device (written in place); raises for folders and the
    like, which no file may replace."""
    if status is None or stat.S_ISREG(status.st_mode):
        return False
    if stat.S_ISFIFO(status.st_mode) or stat.S_ISCHR(status.st_mode) or stat.S_ISBLK(status.st_mode):
        return True
    if stat.S_ISDIR(status.st_mode):
        raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", path)
    raise OSError(errno.EINVAL, "is neither a regular file, a FIFO nor a device", path)


def check_writable(path: str | os.PathLike[str]) -> None:
    """Check, before any work, that :func:`replacing` can write ``path``.

    A new file is created and removed in the target's folder (the one test that holds for every
    user, root included, and for read-only file systems); a FIFO or device must be writable.

    Parameters
    ----------
    path : str or os.PathLike
        The file to be written.

    Raises
    ------
    OSError
        The folder is missing or not writable, the path is a folder, or a special file is not
        writable; the message names ``path``.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> check_writable(pathlib.Path(tempfile.mkdtemp()) / "tracks.csv")
    """
    user = os.fspath(path)
    target, status = _target(user)
    if _refuse_other_kinds(status, user):
        if not os.access(target, os.W_OK):
            raise PermissionError(errno.EACCES, "Permission denied", user)
        return
    probe = target.with_name(f".{target.name}.{uuid.uuid4().hex}.probe")
    try:
        os.close(os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, _NEW_FILE_MODE))
    except OSError as error:
        raise _error(error, user) from None
    probe.unlink()


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary file to write ``path`` whole.

    Parameters
    ----------
    path : str or os.PathLike
        The file to write: a new or regular file, a symbolic link (its target is written), a
        FIFO or a device.

    Yields
    ------
    BinaryIO
        Where to write. For a regular target it is a temporary file, flushed to disk and renamed
        over the target when the block completes, removed when the block raises (or is
        interrupted); a replaced file keeps its permissions.

    Raises
    ------
    OSError
        The file cannot be written, or ``path`` is a folder or another kind of special file; the
        message names ``path``.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> target = pathlib.Path(tempfile.mkdtemp()) / "out.txt"
    >>> with replacing(target) as out:
    ...     _ = out.write(b"done")
    >>> target.read_text()
    'done'
    """
    user = os.fspath(path)
    target, status = _target(user)
    if _refuse_other_kinds(status, user):
        try:
            special = open(target, "wb", buffering=0)  # noqa: SIM115 - closed below
        except OSError as error:
            raise _error(error, user) from None
        with special:
            yield special
        return
    temporary = target.with_name(f".{target.name}.{uuid.uuid4().hex}.partial")
    try:
        # Exclusive creation: never write through a file or link that is already there.
        out = open(temporary, "xb")  # noqa: SIM115 - closed below
    except OSError as error:
        raise _error(error, user) from None
    try:
        with out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        if status is not None:
            os.chmod(temporary, stat.S_IMODE(status.st_mode))
        os.replace(temporary, target)
    except OSError as error:
        temporary.unlink(missing_ok=True)
        if error.filename is not None and os.fspath(error.filename) in (str(temporary), str(target)):
            raise _error(error, user) from None
        raise
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
