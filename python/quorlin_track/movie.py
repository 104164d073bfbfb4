"""Movies as lazy sequences of frames: TIFF and OME-TIFF files, ``.npy`` files, Zarr arrays and
any array-like of shape (T, Y, X) or (T, Z, Y, X).

Frames are read one at a time (or a few at a time by :func:`quorlin_track.batch`) and converted to
float32 frame by frame, never the whole movie at once.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, Protocol, Union, overload

import numpy as np
import numpy.typing as npt

__all__ = ["Movie", "MovieError", "open_movie"]

#: What open_movie accepts: a path, or an object with shape, dtype and NumPy-style slicing.
MovieSource = Union[str, "os.PathLike[str]", Any]

# Two spatial axes make a 2-D frame, three a volume; one more axis in front is time.
_FRAME_DIMS = (2, 3)


class MovieError(ValueError):
    """A movie that cannot be opened or a frame that cannot be read; the message names the source
    and the problem."""


class _Reader(Protocol):
    """Reads frames [start, stop) as one array of the movie's own sample type."""

    def __call__(self, start: int, stop: int) -> npt.NDArray[Any]: ...


class Movie(Sequence[npt.NDArray[np.float32]]):
    """A lazy, indexable sequence of frames (2-D images or 3-D volumes), each read on access and
    returned as float32.

    Build one with :func:`open_movie`. ``len(movie)`` is the number of frames, ``movie[t]`` frame
    ``t`` (negative indices count from the end), ``movie.frame_shape`` the shape of one frame and
    ``movie.dtype`` the sample type stored in the source.
    """

    def __init__(self, name: str, shape: tuple[int, ...], dtype: np.dtype[Any], reader: _Reader):
        self.name = name
        self.frame_shape: tuple[int, ...] = tuple(int(n) for n in shape[1:])
        self.dtype: np.dtype[Any] = dtype
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
    def __getitem__(self, index: slice) -> Sequence[npt.NDArray[np.float32]]: ...

    def __getitem__(
        self, index: int | slice
    ) -> npt.NDArray[np.float32] | Sequence[npt.NDArray[np.float32]]:
        if isinstance(index, slice):
            return [self[t] for t in range(*index.indices(self._length))]
        t = int(index)
        if t < 0:
            t += self._length
        if not 0 <= t < self._length:
            raise IndexError(f"frame {index} is out of range for {self.name} ({self._length} frames)")
        return np.asarray(self.read(t, t + 1)[0], dtype=np.float32)

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
            When a frame cannot be read; the message names the source and the first such frame.

        Examples
        --------
        >>> import numpy as np
        >>> open_movie(np.arange(8, dtype=np.uint8).reshape(2, 2, 2)).read(1, 5).tolist()
        [[[4, 5], [6, 7]]]
        """
        start, stop, _ = slice(start, stop).indices(self._length)
        chunk = self._reader(start, max(start, stop))
        if chunk.dtype == np.float16:
            return np.asarray(chunk, dtype=np.float32)
        if chunk.base is None and chunk.flags.c_contiguous and chunk.dtype.isnative:
            return chunk  # a new array of the reader's own, now the caller's
        # A copy whenever the reader handed out a view: the caller may hand the buffer to threads.
        return np.array(chunk, dtype=chunk.dtype.newbyteorder("="), order="C", copy=True)

    def __repr__(self) -> str:
        return (f"Movie({self.name!r}, frames={self._length}, frame_shape={self.frame_shape}, "
                f"dtype={self.dtype})")


def open_movie(source: MovieSource) -> Movie:
    """Open a movie as a lazy sequence of float32 frames.

    Parameters
    ----------
    source : str, path-like or array-like
        A TIFF or OME-TIFF file (``.tif``, ``.tiff``; read page by page, or frames at a time
        straight from the file where its layout allows), a ``.npy`` file (frames at a time), a
        Zarr array, or any array-like with ``shape``, ``dtype`` and slicing (NumPy, Dask) of shape
        (T, Y, X) or (T, Z, Y, X). A single 2-D image is a movie of one frame. The first axis is always time. Samples of any
        real type (unsigned and signed integers, float16/32/64) are accepted; intensities keep
        their values (counts stay counts).

    Returns
    -------
    Movie
        ``len(movie)`` frames; ``movie[t]`` is frame ``t`` as a float32 array of shape
        ``movie.frame_shape`` (Y, X) or (Z, Y, X), in pixels.

    Raises
    ------
    FileNotFoundError
        The file does not exist.
    MovieError
        The file is not an image the readers understand, the data are complex or boolean, or the
        source has fewer than 2 or more than 4 dimensions. For a truncated TIFF, opening succeeds
        and the readable frames are returned; reading a lost frame raises MovieError naming it.

    Examples
    --------
    >>> import numpy as np, quorlin_track as qt
    >>> movie = qt.open_movie(np.zeros((5, 32, 48), dtype=np.uint16))
    >>> len(movie), movie.frame_shape, movie[0].dtype
    (5, (32, 48), dtype('float32'))
    """
    if isinstance(source, (str, os.PathLike)):
        return _open_file(Path(source))
    if not (hasattr(source, "shape") and hasattr(source, "dtype") and hasattr(source, "__getitem__")):
        raise MovieError(f"cannot read a movie from a {type(source).__name__}: give a file name or "
                         "an array of shape (T, Y, X) or (T, Z, Y, X)")
    name = f"{type(source).__name__} of shape {tuple(source.shape)}"
    return _open_array(name, source)


def _open_array(name: str, array: Any) -> Movie:
    shape = tuple(int(n) for n in array.shape)
    dtype = np.dtype(array.dtype)
    _check_layout(name, shape, dtype)
    if len(shape) == 2:
        return Movie(name, (1, *shape), dtype, lambda start, stop: np.asarray(array)[None][start:stop])
    return Movie(name, shape, dtype, lambda start, stop: np.asarray(array[start:stop]))


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


def _open_file(path: Path) -> Movie:
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such file")
    if path.is_dir():
        return _open_zarr(path)
    suffix = path.suffix.lower()
    if suffix == ".npy":
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
                     _mapped_reader(path, start_byte, dtype, frames_shape[1:]))
    if suffix == ".zarr":
        return _open_zarr(path)
    return _open_tiff(path)


def _mapped_reader(path: Path, offset: int, dtype: np.dtype[Any], frame_shape: tuple[int, ...]) -> _Reader:
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
    return _open_array(str(path), array)


def _open_tiff(path: Path) -> Movie:
    import tifffile

    name = str(path)
    try:
        with warnings.catch_warnings(record=True) as caught:
            # A truncated file makes the reader warn about the pages it lost; frames are reported
            # instead, when they are read.
            warnings.simplefilter("always")
            with tifffile.TiffFile(path) as tif:
                series = tif.series[0]
                shape = tuple(int(n) for n in series.shape)
                dtype = np.dtype(series.dtype).newbyteorder(tif.byteorder)
                axes = series.axes
                declared = tif.shaped_metadata[0].get("shape") if tif.shaped_metadata else None
                first = series.pages[0]
                offset = series.dataoffset
                contiguous = first is not None and offset is not None and first.compression == 1
    except Exception as error:  # the reader raises several types for files that are no TIFF
        raise MovieError(f"{name}: not a TIFF image ({error})") from None
    if any("S" == a for a, n in zip(axes, shape) if n > 1) or (len(shape) == 4 and "C" in axes):
        raise MovieError(f"{name}: more than one channel per pixel (axes {axes}); save one channel "
                         "per file")
    truncated = any("invalid page offset" in str(w.message) or "failed to reshape" in str(w.message)
                    for w in caught)
    if truncated and declared is not None and int(np.prod(declared)) > int(np.prod(shape)):
        shape = tuple(int(n) for n in declared)
    _check_layout(name, shape, dtype)
    if len(shape) == 2:
        shape = (1, *shape)
    frame_size = int(np.prod(shape[1:]))

    def unreadable(t: int, why: str) -> MovieError:
        return MovieError(f"{name}: frame {t} cannot be read ({why}; the file may be truncated)")

    if contiguous:
        frame_bytes = frame_size * dtype.itemsize
        start_byte = int(offset or 0)
        available = min(shape[0], max(0, (path.stat().st_size - start_byte) // frame_bytes))
        mapped = _mapped_reader(path, start_byte, dtype, shape[1:])

        def read_mapped(start: int, stop: int) -> npt.NDArray[Any]:
            if stop > available:
                raise unreadable(max(start, available), "the file ends before its pixels")
            return mapped(start, stop)

        return Movie(name, shape, dtype, read_mapped)
    pages_per_frame = max(1, frame_size // (shape[-2] * shape[-1]))

    def read_pages(start: int, stop: int) -> npt.NDArray[Any]:
        out = np.empty((stop - start, *shape[1:]), dtype=dtype)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with tifffile.TiffFile(path) as handle:
                pages = handle.pages
                for t in range(start, stop):
                    try:
                        planes = [pages[p].asarray() for p in
                                  range(t * pages_per_frame, (t + 1) * pages_per_frame)]
                        out[t - start] = np.reshape(planes, shape[1:])
                    except Exception as error:
                        raise unreadable(t, type(error).__name__) from None
        return out

    return Movie(name, shape, dtype, read_pages)
