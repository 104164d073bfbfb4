"""Movies as lazy sequences of frames: TIFF and OME-TIFF files, ``.npy`` files, Zarr arrays, a
folder, glob or list of such files, and any array-like of shape (T, Y, X) or (T, Z, Y, X).

Frames are read one at a time (or a few at a time by :func:`quorlin_track.batch`) and converted to
float32 frame by frame, never the whole movie at once. Every read is checked: a source that
returns fewer frames, another shape or no real numbers raises :class:`MovieError` naming the frame.
"""

from __future__ import annotations

import glob
import itertools
import os
import re
import threading
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, Protocol, Union, overload

import numpy as np
import numpy.typing as npt

from .errors import MovieError
from .tiff import open_tiff_layout, tiff_reader
from .validation import integer

__all__ = ["Movie", "MovieError", "open_movie"]

#: What open_movie accepts: a path, a glob, a list of paths, or an object with shape, dtype and
#: NumPy-style slicing.
MovieSource = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]], Any]

# Files a folder may hold as the frames of one movie.
_TIFF_SUFFIXES = (".tif", ".tiff")
# Files that make a folder a Zarr array or group rather than a folder of images.
_ZARR_MARKERS = (".zarray", ".zgroup", "zarr.json")
_GLOB_CHARACTERS = re.compile(r"[*?\[]")


class _Reader(Protocol):
    """Reads frames [start, stop) as one array of the movie's own sample type."""

    def __call__(self, start: int, stop: int) -> npt.NDArray[Any]: ...


class Movie(Sequence[npt.NDArray[np.float32]]):
    """A lazy, indexable sequence of frames (2-D images or 3-D volumes), each read on access and
    returned as float32.

    Build one with :func:`open_movie`. ``len(movie)`` is the number of frames, ``movie[t]`` frame
    ``t`` (negative indices count from the end), ``movie[a:b]`` the movie of those frames (read
    lazily too), ``movie.frame_shape`` the shape of one frame and ``movie.dtype`` the sample type
    stored in the source. ``movie.pixel_size`` (micrometres) and ``movie.frame_interval``
    (seconds) are what the file's metadata say, or None; ``movie.paths`` the files read.
    """

    def __init__(self, name: str, shape: tuple[int, ...], dtype: np.dtype[Any], reader: _Reader, *,
                 pixel_size: float | None = None, frame_interval: float | None = None,
                 paths: Sequence[Path] = ()):
        self.name = name
        self.frame_shape: tuple[int, ...] = tuple(int(n) for n in shape[1:])
        self.dtype: np.dtype[Any] = dtype
        self.pixel_size = pixel_size
        self.frame_interval = frame_interval
        self.paths: tuple[Path, ...] = tuple(paths)
        self._length = int(shape[0])
        self._reader = reader

    def __len__(self) -> int:
        return self._length

    @property
    def ndim(self) -> int:
        """Dimensions of one frame: 2 for images, 3 for volumes."""
        return len(self.frame_shape)

    @overload
    def __getitem__(self, index: int) -> npt.NDArray[np.float32]: ...

    @overload
    def __getitem__(self, index: slice) -> Movie: ...

    def __getitem__(self, index: int | slice) -> npt.NDArray[np.float32] | Movie:
        if isinstance(index, slice):
            return self._frames(*index.indices(self._length))
        t = int(index)
        if t < 0:
            t += self._length
        if not 0 <= t < self._length:
            raise IndexError(f"frame {index} is out of range for {self.name} ({self._length} frames)")
        return np.asarray(self.read(t, t + 1)[0], dtype=np.float32)

    def _frames(self, first: int, end: int, step: int) -> Movie:
        picked = range(first, end, step)

        def read(start: int, stop: int) -> npt.NDArray[Any]:
            if step == 1:
                return self.read(first + start, first + stop)
            frames = [self.read(t, t + 1) for t in picked[start:stop]]
            return np.concatenate(frames) if frames else self.read(0, 0)

        interval = None if self.frame_interval is None else self.frame_interval * abs(step)
        return Movie(f"{self.name} [{first}:{end}{'' if step == 1 else f':{step}'}]",
                     (len(picked), *self.frame_shape), self.dtype, read,
                     pixel_size=self.pixel_size, frame_interval=interval, paths=self.paths)

    def __iter__(self) -> Iterator[npt.NDArray[np.float32]]:
        for t in range(self._length):
            yield self[t]

    def read(self, start: int, stop: int) -> npt.NDArray[Any]:
        """Read several frames at once in their stored sample type.

        Parameters
        ----------
        start, stop : int
            Frame range ``[start, stop)``, clipped to the movie like a slice.

        Returns
        -------
        numpy.ndarray
            A new C-contiguous array of shape ``(stop - start, *frame_shape)`` of the stored sample
            type in native byte order (float16 widened to float32), owned by the caller.

        Raises
        ------
        MovieError
            When a frame cannot be read, or the source returns fewer frames, another shape or
            samples that are not real numbers; the message names the source and the first such
            frame. A reader's own errors (OSError, a decoder's error) become MovieError too.

        Examples
        --------
        >>> import numpy as np
        >>> open_movie(np.arange(8, dtype=np.uint8).reshape(2, 2, 2)).read(1, 5).tolist()
        [[[4, 5], [6, 7]]]
        """
        start, stop, _ = slice(start, stop).indices(self._length)
        stop = max(start, stop)
        try:
            chunk = np.asarray(self._reader(start, stop))
        except (MovieError, MemoryError):
            raise
        except Exception as error:  # whatever the source's reader raises
            raise MovieError(f"{self.name}: {_frames_text(start, stop)} cannot be read "
                             f"({type(error).__name__}: {error})") from error
        self._check(chunk, start, stop)
        if chunk.dtype == np.float16:
            return np.asarray(chunk, dtype=np.float32)
        if chunk.base is None and chunk.flags.c_contiguous and chunk.dtype.isnative:
            return chunk  # a new array of the reader's own, now the caller's
        # A copy whenever the reader handed out a view: the caller may hand the buffer to threads.
        return np.array(chunk, dtype=chunk.dtype.newbyteorder("="), order="C", copy=True)

    def _check(self, chunk: npt.NDArray[Any], start: int, stop: int) -> None:
        expected = (stop - start, *self.frame_shape)
        if chunk.shape == expected:
            if chunk.dtype.kind not in "uif":
                raise MovieError(f"{self.name}: {_frames_text(start, stop)} came back as "
                                 f"{chunk.dtype}, not real numbers")
            return
        if chunk.shape[1:] == expected[1:] and len(chunk) < expected[0]:
            raise MovieError(f"{self.name}: frame {start + len(chunk)} cannot be read (the source "
                             f"returned {len(chunk)} of the {stop - start} {_frames_text(start, stop)})")
        raise MovieError(f"{self.name}: {_frames_text(start, stop)} came back with shape "
                         f"{chunk.shape}, not {expected}")

    def __repr__(self) -> str:
        return (f"Movie({self.name!r}, frames={self._length}, frame_shape={self.frame_shape}, "
                f"dtype={self.dtype})")


def _frames_text(start: int, stop: int) -> str:
    return f"frame {start}" if stop - start == 1 else f"frames {start} to {stop - 1}"


def open_movie(source: MovieSource, *, channel: int | None = None) -> Movie:
    """Open a movie as a lazy sequence of float32 frames.

    Parameters
    ----------
    source : str, path-like, sequence of them, or array-like
        A TIFF or OME-TIFF file (``.tif``, ``.tiff``; read frames at a time straight from the
        file where its layout allows, page by page otherwise), a ``.npy`` file, a Zarr array
        (folder or object), a folder of TIFF files, a glob pattern (``"frames/img*.tif"``), a list
        of files, or any array-like with ``shape``, ``dtype`` and slicing (NumPy, Dask) of shape
        (T, Y, X) or (T, Z, Y, X). Files of a folder, glob or list are one movie, in the natural
        order of their paths (``img2`` before ``img10``); each holds the same number of frames
        of one shape and sample type. Samples of any real type (unsigned and signed integers,
        float16/32/64) are accepted; intensities keep their values (counts stay counts).
    channel : int, optional
        The channel to read (from 0) of a TIFF whose OME or ImageJ metadata name a channel axis;
        such a file needs it.

    Returns
    -------
    Movie
        ``len(movie)`` frames; ``movie[t]`` is frame ``t`` as a float32 array of shape
        ``movie.frame_shape`` (Y, X) or (Z, Y, X), in pixels.

    Notes
    -----
    Axes: the OME or ImageJ metadata of a TIFF say which axis is time (T), depth (Z) and channel
    (C): a Z-stack is one volume, a time series of Z-stacks a movie of volumes, and any other
    axis is an error naming what was found. Without such metadata (arrays, ``.npy``, Zarr and
    plain TIFF files) the first axis is time and a fourth axis depth; a single 2-D image is a
    movie of one frame. The same metadata give ``movie.pixel_size`` and
    ``movie.frame_interval``.

    Raises
    ------
    FileNotFoundError
        The file does not exist, or a glob matches nothing.
    MovieError
        The file is not an image the readers understand, the data are complex or boolean, the
        source has fewer than 2 or more than 4 dimensions, its axes are not a movie's, or a
        channel is missing or out of range. For a damaged or truncated TIFF, opening succeeds
        and the readable frames are returned; reading a lost frame raises MovieError naming it.
    TypeError
        ``channel`` is not an integer.

    Examples
    --------
    >>> import numpy as np, quorlin_track as qt
    >>> movie = qt.open_movie(np.zeros((5, 32, 48), dtype=np.uint16))
    >>> len(movie), movie.frame_shape, movie[0].dtype
    (5, (32, 48), dtype('float32'))
    """
    if channel is not None:
        channel = integer("channel", channel, low=0)
    if isinstance(source, (str, os.PathLike)):
        path = Path(source)
        if not path.exists() and isinstance(source, str) and _GLOB_CHARACTERS.search(source):
            matches = glob.glob(source)
            if not matches:
                raise FileNotFoundError(f"{source}: no file matches")
            return _open_files(source, [Path(p) for p in matches], channel)
        return _open_file(path, channel)
    if isinstance(source, (list, tuple)) and all(isinstance(p, (str, os.PathLike)) for p in source):
        if not source:
            raise MovieError("an empty list of files is no movie")
        return _open_files(None, [Path(p) for p in source], channel)
    if not (hasattr(source, "shape") and hasattr(source, "dtype") and hasattr(source, "__getitem__")):
        raise MovieError(f"cannot read a movie from a {type(source).__name__}: give a file name, a "
                         "list of files or an array of shape (T, Y, X) or (T, Z, Y, X)")
    _no_channel(channel, "an array")
    return _open_array(f"{type(source).__name__} of shape {tuple(getattr(source, 'shape'))}", source)


def _no_channel(channel: int | None, what: str) -> None:
    if channel is not None:
        raise MovieError(f"channel= applies to TIFF files whose metadata name a channel axis, not "
                         f"to {what}")


def _open_array(name: str, array: Any, paths: Sequence[Path] = ()) -> Movie:
    shape = tuple(int(n) for n in array.shape)
    dtype = np.dtype(array.dtype)
    _check_layout(name, shape, dtype)
    missing = _missing_chunks(array)
    if len(shape) == 2:
        return Movie(name, (1, *shape), dtype,
                     lambda start, stop: np.asarray(array)[None][start:stop], paths=paths)

    def read(start: int, stop: int) -> npt.NDArray[Any]:
        if missing is not None:
            lost = missing(start, stop)
            if lost is not None:
                raise MovieError(f"{name}: frame {lost} cannot be read (its chunk is missing from "
                                 "the store)")
        return np.asarray(array[start:stop])

    return Movie(name, shape, dtype, read, paths=paths)


def _check_layout(name: str, shape: tuple[int, ...], dtype: np.dtype[Any]) -> None:
    if dtype.kind == "b":
        raise MovieError(f"{name}: boolean data is not an image; convert it to numbers first")
    if dtype.kind == "c":
        raise MovieError(f"{name}: complex data is not supported; take its magnitude or real part")
    if dtype.kind not in "uif":
        raise MovieError(f"{name}: samples of type {dtype} are not real numbers")
    if len(shape) < 2:
        raise MovieError(f"{name}: {len(shape)} dimension(s) is too few; a movie has shape "
                         "(Y, X), (T, Y, X) or (T, Z, Y, X)")
    if len(shape) > 4:
        raise MovieError(f"{name}: {len(shape)} dimensions is too many; a movie has shape "
                         "(Y, X), (T, Y, X) or (T, Z, Y, X)")


def _natural_key(path: Path) -> list[Any]:
    """Sort key putting ``img2`` before ``img10``: runs of digits compare as numbers."""
    return [(0, int(part), "") if part.isdigit() else (1, 0, part.lower())
            for part in re.split(r"(\d+)", str(path))]


def _open_file(path: Path, channel: int | None) -> Movie:
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such file")
    if path.is_dir():
        if path.suffix.lower() == ".zarr" or any((path / m).exists() for m in _ZARR_MARKERS):
            _no_channel(channel, "a Zarr array")
            return _open_zarr(path)
        images = [p for p in path.iterdir() if p.suffix.lower() in _TIFF_SUFFIXES
                  and not p.name.startswith(".") and p.is_file()]
        if not images:
            raise MovieError(f"{path}: a folder with neither TIFF files nor a Zarr array")
        return _open_files(str(path), images, channel)
    suffix = path.suffix.lower()
    if suffix == ".npy":
        _no_channel(channel, "a .npy file")
        return _open_npy(path)
    if suffix == ".zarr":
        _no_channel(channel, "a Zarr array")
        return _open_zarr(path)
    layout = open_tiff_layout(path, channel)
    return Movie(str(path), (len(layout.pages), *layout.frame_shape), layout.dtype,
                 tiff_reader(path, layout), pixel_size=layout.pixel_size,
                 frame_interval=layout.frame_interval, paths=(path,))


def _open_npy(path: Path) -> Movie:
    try:
        with open(path, "rb") as file:
            version = np.lib.format.read_magic(file)
            read_header = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                           else np.lib.format.read_array_header_2_0)
            shape, fortran, dtype = read_header(file)
            start_byte = file.tell()
    except (ValueError, OSError) as error:
        raise MovieError(f"{path}: not a readable .npy array ({error})") from None
    if fortran or dtype.hasobject:
        raise MovieError(f"{path}: a Fortran-ordered or object .npy array cannot be read frame "
                         "by frame; save it in C order")
    _check_layout(str(path), shape, dtype)
    frames_shape = (1, *shape) if len(shape) == 2 else shape
    return Movie(str(path), frames_shape, dtype,
                 _stored_reader(path, start_byte, dtype, frames_shape[1:]), paths=(path,))


def _stored_reader(path: Path, offset: int, dtype: np.dtype[Any], frame_shape: tuple[int, ...]) -> _Reader:
    """Reads frames of a file that stores them one after another from byte ``offset``, straight
    into a new array with one read call (no mapping: faulting the file's pages in one by one costs
    several times the copy, and the pages never add up in the process's memory)."""
    frame_bytes = int(np.prod(frame_shape)) * dtype.itemsize

    def read(start: int, stop: int) -> npt.NDArray[Any]:
        frames = np.empty((max(0, stop - start), *frame_shape), dtype)
        if frames.nbytes == 0:
            return frames
        with open(path, "rb", buffering=0) as file:
            file.seek(offset + start * frame_bytes)
            target = frames.reshape(-1).view(np.uint8).data
            done = 0
            while done < len(target):
                got = file.readinto(target[done:])
                if not got:
                    raise MovieError(f"{path}: frame {start + done // frame_bytes} cannot be read "
                                     "(the file ends before its pixels)")
                done += got
        return frames

    return read


def _open_zarr(path: Path) -> Movie:
    try:
        import zarr

        array = zarr.open(str(path), mode="r")
    except Exception as error:  # the reader's own errors vary by version
        raise MovieError(f"{path}: not a readable Zarr array ({error})") from None
    if not hasattr(array, "shape"):
        raise MovieError(f"{path}: a Zarr group, not an array; open the array inside it")
    return _open_array(str(path), array, (path,))


def _missing_chunks(array: Any) -> Callable[[int, int], int | None] | None:
    """For a Zarr array, a function giving the first frame in [start, stop) whose stored chunk is
    absent (Zarr would hand out its fill value instead); None for other arrays."""
    if type(array).__module__.split(".")[0] != "zarr":
        return None
    grid = tuple(array.shards or array.chunks) if hasattr(array, "shards") else tuple(array.chunks)
    counts = [-(-int(n) // int(c)) for n, c in zip(array.shape, grid)]
    try:
        from zarr.core.sync import sync

        def exists(coords: tuple[int, ...]) -> bool:
            key = array.metadata.encode_chunk_key(coords)
            return bool(sync((array.store_path / key).exists()))
    except (ImportError, AttributeError):  # zarr 2
        store = getattr(array, "chunk_store", None) or array.store

        def exists(coords: tuple[int, ...]) -> bool:
            return bool(array._chunk_key(coords) in store)

    def first_missing(start: int, stop: int) -> int | None:
        if stop <= start:
            return None
        for t in range(start // grid[0], (stop - 1) // grid[0] + 1):
            for rest in itertools.product(*(range(n) for n in counts[1:])):
                if not exists((t, *rest)):
                    return max(start, t * int(grid[0]))
        return None

    return first_missing


def _open_files(name: str | None, paths: list[Path], channel: int | None) -> Movie:
    """Several files as one movie, in natural order; each must hold as many frames of the same
    shape and type as the first, which is checked as each is read."""
    paths = sorted(paths, key=_natural_key)
    first = _open_file(paths[0], channel)
    per_file = len(first)
    if per_file == 0:
        raise MovieError(f"{paths[0]}: holds no frame")
    lock = threading.Lock()
    opened: dict[int, Movie] = {0: first}

    def movie(k: int) -> Movie:
        with lock:
            if k not in opened:
                opened.clear()  # one open file at a time: a folder may hold thousands
                opened[k] = _open_file(paths[k], channel)
            found = opened[k]
        if (len(found), found.frame_shape, found.dtype) != (per_file, first.frame_shape, first.dtype):
            raise MovieError(f"{paths[k]}: holds {len(found)} frame(s) of shape {found.frame_shape} "
                             f"and type {found.dtype}; the first file, {paths[0].name}, holds "
                             f"{per_file} of shape {first.frame_shape} and type {first.dtype}")
        return found

    def read(start: int, stop: int) -> npt.NDArray[Any]:
        parts = []
        t = start
        while t < stop:
            k, within = divmod(t, per_file)
            end = min(per_file, within + stop - t)
            parts.append(movie(k).read(within, end))
            t += end - within
        return np.concatenate(parts) if parts else first.read(0, 0)

    name = name or f"{paths[0]} to {paths[-1].name}"
    return Movie(f"{name} ({len(paths)} files)", (per_file * len(paths), *first.frame_shape),
                 first.dtype, read, pixel_size=first.pixel_size,
                 frame_interval=first.frame_interval, paths=paths)
