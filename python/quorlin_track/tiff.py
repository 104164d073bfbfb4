"""TIFF and OME-TIFF movies: where each frame's planes lie among the file's pages (from OME,
ImageJ or tifffile's own metadata), the pixel size and frame interval the metadata give, and the
reader of frames.

Frames are read straight from the file with one read call where the pages are stored
uncompressed one after another, and page by page otherwise. Every page is checked against the
movie's sample type and plane shape. A damaged or truncated file keeps the frames it still has;
reading a lost one raises :class:`MovieError` naming it. The TIFF reader's own log records are
taken in while it works and passed on through this package's logger (``quorlin_track``), so none
reaches the terminal unasked.
"""

from __future__ import annotations

import contextlib
import logging
import math
import threading
import xml.etree.ElementTree as ElementTree
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import MovieError

__all__ = ["TiffLayout", "open_tiff_layout", "tiff_reader"]

_log = logging.getLogger("quorlin_track")

# Axis letters with a meaning here: time, depth, channel. The plane is Y, X; S (samples per
# pixel) is refused when above 1.
_TIME, _DEPTH, _CHANNEL = "T", "Z", "C"
# Kinds of series whose axis letters come from the file's metadata; others (tifffile's "Q" and
# "I") are taken as time, then depth, as for arrays.
_DESCRIBED = ("ome", "imagej")

#: Length units of OME and ImageJ metadata, in micrometres.
_MICROMETRES = {"m": 1e6, "cm": 1e4, "mm": 1e3, "\u00b5m": 1.0, "\u03bcm": 1.0, "um": 1.0,
                "micron": 1.0, "microns": 1.0, "nm": 1e-3, "pm": 1e-6, "\u00c5": 1e-4}
#: Time units of OME metadata, in seconds.
_SECONDS = {"s": 1.0, "ms": 1e-3, "\u00b5s": 1e-6, "\u03bcs": 1e-6, "us": 1e-6, "ns": 1e-9,
            "min": 60.0, "h": 3600.0}


class _Capture(logging.Filter):
    """Holds back the TIFF reader's records on threads that are inside :func:`_captured`."""

    local = threading.local()

    def filter(self, record: logging.LogRecord) -> bool:
        records = getattr(self.local, "records", None)
        if records is None:
            return True
        records.append(record)
        return False


logging.getLogger("tifffile").addFilter(_Capture())


@contextlib.contextmanager
def _captured(name: str) -> Iterator[list[logging.LogRecord]]:
    """The TIFF reader's records of this block, re-emitted at debug level naming the file."""
    previous = getattr(_Capture.local, "records", None)
    records: list[logging.LogRecord] = []
    _Capture.local.records = records
    try:
        yield records
    finally:
        _Capture.local.records = previous
        for record in records:
            _log.debug("%s: the TIFF reader reports: %s", name, record.getMessage())


@dataclass(frozen=True)
class TiffLayout:
    """Where a TIFF movie's frames lie in the file."""

    frame_shape: tuple[int, ...]  # (Y, X) or (Z, Y, X)
    dtype: np.dtype[Any]  # the samples as stored (byte order of the file)
    pages: npt.NDArray[np.int64]  # (frames, planes per frame): the file's page of each plane
    readable: int  # pages 0 .. readable - 1 can be read; later ones are lost
    data_offset: int | None  # byte offset of page 0's pixels when all are stored raw in a row
    pixel_size: float | None  # micrometres
    frame_interval: float | None  # seconds

    @property
    def lost(self) -> int | None:
        """The first frame with a lost page, or None."""
        missing = np.flatnonzero((self.pages >= self.readable).any(axis=1))
        return int(missing[0]) if len(missing) else None


def _readable_pages(tif: Any) -> int:
    """Pages whose headers can be read, counting from the first, in a damaged file."""
    count = 0
    with contextlib.suppress(Exception):
        for _ in tif.pages:
            count += 1
    return count


def _physical_ome(tif: Any) -> tuple[float | None, float | None]:
    try:
        root = ElementTree.fromstring(tif.ome_metadata)
    except (ElementTree.ParseError, TypeError, ValueError):
        return None, None
    pixels = next((e for e in root.iter() if e.tag.endswith("}Pixels") or e.tag == "Pixels"), None)
    if pixels is None:
        return None, None
    size, interval = pixels.get("PhysicalSizeX"), pixels.get("TimeIncrement")
    scale = _MICROMETRES.get(pixels.get("PhysicalSizeXUnit", "\u00b5m"))
    tick = _SECONDS.get(pixels.get("TimeIncrementUnit", "s"))
    return (_positive(size, scale), _positive(interval, tick))


def _physical_imagej(tif: Any) -> tuple[float | None, float | None]:
    metadata = tif.imagej_metadata or {}
    interval = _positive(metadata.get("finterval"), 1.0)
    scale = _MICROMETRES.get(str(metadata.get("unit", "")))
    resolution = tif.pages[0].tags.get("XResolution")
    if resolution is None or scale is None:
        return None, interval
    numerator, denominator = resolution.value
    return _positive(denominator / numerator if numerator else None, scale), interval


def _positive(value: Any, scale: float | None) -> float | None:
    """``value`` times ``scale`` when both make a positive finite number, else None."""
    try:
        number = float(value) * float(scale)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) and number > 0 else None


def _page_table(name: str, axes: str, shape: tuple[int, ...], described: bool,
                channel: int | None) -> npt.NDArray[np.int64]:
    """The index among the series' pages of each plane, as (frames, planes per frame)."""
    leading, letters = shape[:-2], axes[:-2]
    if not described:
        # Without metadata the first axis is time and the next depth, as for arrays.
        if len(letters) > 2:
            raise MovieError(f"{name}: {len(shape)} dimensions (shape {shape}) and no metadata "
                             "saying which is which; a movie has shape (T, Y, X) or (T, Z, Y, X)")
        letters = (_TIME + _DEPTH)[: len(letters)]
    table = np.arange(int(np.prod(leading, dtype=np.int64)), dtype=np.int64).reshape(leading)
    unknown = [a for a in letters if a not in (_TIME, _DEPTH, _CHANNEL)]
    if unknown or len(set(letters)) != len(letters):
        raise MovieError(f"{name}: the file's axes are {axes} (shape {' x '.join(map(str, shape))});"
                         f" a movie has time (T), depth (Z) and channel (C) axes besides Y and X, "
                         f"and {', '.join(unknown) or 'a repeated letter'} is none of them")
    if _CHANNEL in letters:
        count = leading[letters.index(_CHANNEL)]
        if channel is None:
            raise MovieError(f"{name}: the file's axes are {axes} with {count} channels; choose "
                             "one with channel= (--channel), counting from 0")
        if not 0 <= channel < count:
            raise MovieError(f"{name}: channel {channel} does not exist; the file has {count} "
                             f"channels (0 to {count - 1})")
        table = np.take(table, channel, axis=letters.index(_CHANNEL))
        letters = letters.replace(_CHANNEL, "")
    elif channel is not None:
        raise MovieError(f"{name}: the file has no channel axis (axes {axes}); leave channel out")
    if _TIME not in letters:
        table, letters = table[None], _TIME + letters
    if _DEPTH not in letters:
        table, letters = table[..., None], letters + _DEPTH
    order = [letters.index(_TIME), letters.index(_DEPTH)]
    return np.ascontiguousarray(np.transpose(table, order))


def open_tiff_layout(path: Path, channel: int | None) -> TiffLayout:
    """Read the layout of a TIFF movie.

    Parameters
    ----------
    path : pathlib.Path
        The file.
    channel : int, optional
        The channel to read, for files whose metadata name a channel axis.

    Returns
    -------
    TiffLayout

    Raises
    ------
    MovieError
        The file is no TIFF image, its axes are not a movie's, a channel is missing or out of
        range, several samples per pixel, or a page of another sample type or plane shape.
    """
    import tifffile

    name = str(path)
    with _captured(name) as records:
        try:
            with tifffile.TiffFile(path) as tif:
                layout = _layout(tif, name, channel, records)
        except MovieError:
            raise
        except Exception as error:  # the reader raises several types for files that are no TIFF
            raise MovieError(f"{name}: not a TIFF image ({error})") from None
    lost = layout.lost
    if lost is not None:
        _log.warning("%s: the file is damaged or truncated: frame %d and later frames are lost "
                     "(%d frames readable)", name, lost, lost)
    return layout


def _layout(tif: Any, name: str, channel: int | None,
            records: list[logging.LogRecord]) -> TiffLayout:
    try:
        every = list(tif.series)
    except Exception:  # a damaged chain of pages: fall back to the pages that remain
        every = []
    damaged = any(r.levelno >= logging.ERROR for r in records) or not every
    series = every[0] if every else None
    first = tif.pages[0] if series is None else series.keyframe
    dtype = np.dtype(first.dtype).newbyteorder(tif.byteorder)
    described = series is not None and (series.kind in _DESCRIBED or bool(
        series.kind == "shaped" and tif.shaped_metadata and "axes" in tif.shaped_metadata[0]))
    if series is None or not described and (damaged or len(every) > 1):
        axes, shape, offset = _flat_shape(tif, name, every, damaged)
        base = 0
    else:
        if len(every) > 1:
            _log.warning("%s: the file holds %d image series; only the first is read", name,
                         len(every))
        axes, shape = series.axes, tuple(int(n) for n in series.shape)
        base = int(first.index)
        raw = first.compression == 1 and series.dataoffset is not None
        offset = int(series.dataoffset) if raw else None
    if "S" in axes and shape[axes.index("S")] > 1 or not axes.endswith("YX"):
        raise MovieError(f"{name}: more than one sample per pixel or no plane of Y, X (axes "
                         f"{axes}); save one channel per file, or give the array itself")
    axes = axes.replace("S", "")
    table = _page_table(name, axes, shape, described, channel) + base
    plane = shape[-2:]
    frame_shape = plane if table.shape[1] == 1 else (table.shape[1], *plane)
    readable = int(table.max(initial=-1)) + 1
    if offset is not None:
        # Page k's pixels lie at offset + k * plane_bytes, counted from the file's first page.
        plane_bytes = int(np.prod(plane)) * dtype.itemsize
        offset -= base * plane_bytes
        readable = min(readable, max(0, (tif.filehandle.size - offset) // plane_bytes))
    elif damaged:
        readable = min(readable, _readable_pages(tif))
    kind = series.kind if series is not None else ""
    pixel_size, interval = (_physical_ome(tif) if kind == "ome" else _physical_imagej(tif)
                            if kind == "imagej" else (None, None))
    return TiffLayout(tuple(int(n) for n in frame_shape), dtype, table, readable, offset,
                      pixel_size, interval)


def _flat_shape(tif: Any, name: str, every: list[Any],
                damaged: bool) -> tuple[str, tuple[int, ...], int | None]:
    """Axes, shape and raw data offset (or None) of a file read as a flat run of pages: one that
    is damaged, or holds several series without metadata (pages written one at a time)."""
    first = tif.pages[0]
    plane = tuple(int(n) for n in first.shape)
    for series in every[1:]:
        page = series.keyframe
        if page is not None and (page.dtype != first.dtype or tuple(page.shape) != plane):
            raise MovieError(f"{name}: page {page.index} holds {page.dtype} samples of shape "
                             f"{tuple(page.shape)}, page 0 {first.dtype} of shape {plane}; the "
                             "pages of a movie must agree")
    declared = tif.shaped_metadata[0].get("shape") if tif.shaped_metadata else None
    per_frame = 1
    if declared is not None and len(declared) == len(plane) + 2 and len(every) <= 1:
        per_frame = int(declared[1])
    pages = _readable_pages(tif)
    total = pages
    if damaged:
        wanted = int(np.prod(declared[:-len(plane)])) if declared is not None and len(every) <= 1 else 0
        # Without a declared count, the page the damage hides is at least one lost page.
        total = max(wanted, pages + 1)
    frames = -(-total // per_frame)
    # A series the TIFF writer declared is stored raw in one run when its first page is: the
    # pages that follow may be lost with the end of the file, their pixels are not.
    offset = None
    if declared is not None and len(every) <= 1 and first.compression == 1 and first.is_contiguous:
        offset = int(first.dataoffsets[0])
    if per_frame == 1:
        return ("QYX" if len(plane) == 2 else "QYXS"), (frames, *plane), offset
    return "QQYX", (frames, per_frame, *plane), offset


def tiff_reader(path: Path, layout: TiffLayout) -> Any:
    """The function reading frames [start, stop) of a TIFF movie, as one array."""
    name = str(path)
    plane = layout.frame_shape[-2:]
    native = layout.dtype.newbyteorder("=")
    plane_bytes = int(np.prod(plane)) * layout.dtype.itemsize

    def unreadable(t: int, why: str) -> MovieError:
        return MovieError(f"{name}: frame {t} cannot be read ({why}; the file may be truncated)")

    def read(start: int, stop: int) -> npt.NDArray[Any]:
        pages = layout.pages[start:stop]
        out = np.empty((len(pages), *layout.frame_shape), dtype=layout.dtype)
        planes = out.reshape(-1, *plane)
        flat = pages.ravel()
        if layout.data_offset is not None:
            lost = np.flatnonzero((pages >= layout.readable).any(axis=1))
            if len(lost):
                raise unreadable(start + int(lost[0]), "the file ends before its pixels")
            _read_raw(path, layout.data_offset, plane_bytes, flat, planes)
            return out
        import tifffile

        with _captured(name), tifffile.TiffFile(path) as tif:
            for k, index in enumerate(flat.tolist()):
                t = start + k // pages.shape[1]
                if index >= layout.readable:
                    raise unreadable(t, "the file ends before it")
                try:
                    page = tif.pages[index]
                    if np.dtype(page.dtype).newbyteorder("=") != native or tuple(page.shape) != plane:
                        raise MovieError(f"{name}: page {index} holds {page.dtype} samples of shape "
                                         f"{tuple(page.shape)}, not {layout.dtype} of shape {plane} "
                                         "as the movie's first page")
                    planes[k] = page.asarray()
                except MovieError:
                    raise
                except Exception as error:
                    raise unreadable(t, f"{type(error).__name__}: {error}") from None
        return out

    return read


def _read_raw(path: Path, offset: int, plane_bytes: int, pages: npt.NDArray[np.int64],
              planes: npt.NDArray[Any]) -> None:
    """Planes stored raw one after another: each run of consecutive pages with one read call
    into the caller's array."""
    target = planes.reshape(-1).view(np.uint8).data
    breaks = np.flatnonzero(np.diff(pages) != 1) + 1
    with open(path, "rb", buffering=0) as file:
        for run in np.split(np.arange(len(pages)), breaks):
            if not len(run):
                continue
            file.seek(offset + int(pages[run[0]]) * plane_bytes)
            begin, end = int(run[0]) * plane_bytes, (int(run[-1]) + 1) * plane_bytes
            while begin < end:
                got = file.readinto(target[begin:end])
                if not got:
                    raise MovieError(f"{path}: page {int(pages[run[0]])} onwards cannot be read "
                                     "(the file ends before its pixels)")
                begin += got
