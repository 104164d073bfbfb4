"""quorlin_track movies: every source gives the same float32 frames; bad sources get errors that
name the file and the problem."""

import numpy as np
import pytest
import tifffile

import quorlin_track as qt


def write_source(kind, path, data):
    if kind == "tiff":
        tifffile.imwrite(path / "m.tif", data)
        return path / "m.tif"
    if kind == "ome-tiff":
        tifffile.imwrite(path / "m.ome.tif", data, ome=True, metadata={"axes": "TZYX"})
        return path / "m.ome.tif"
    if kind == "zlib-tiff":  # compressed pages cannot be memory-mapped: read page by page
        tifffile.imwrite(path / "z.tif", data, compression="zlib")
        return path / "z.tif"
    if kind == "npy":
        np.save(path / "m.npy", data)
        return path / "m.npy"
    if kind == "zarr":
        import zarr

        array = zarr.open(str(path / "m.zarr"), mode="w", shape=data.shape, dtype=data.dtype,
                          chunks=(1,) + data.shape[1:])
        array[...] = data
        return zarr.open(str(path / "m.zarr"), mode="r")
    if kind == "dask":
        import dask.array as da

        return da.from_array(data, chunks=(2,) + data.shape[1:])
    return data


@pytest.mark.parametrize("kind", ["array", "tiff", "ome-tiff", "zlib-tiff", "npy", "zarr", "dask"])
def test_every_source_reads_the_same_frames(tmp_path, kind):
    rng = np.random.default_rng(1)
    data = rng.integers(0, 4000, (5, 3, 12, 16)).astype(np.uint16)
    if kind not in ("ome-tiff",):
        data = data[:, 0]  # (T, Y, X), and volumes for the OME case
    movie = qt.open_movie(write_source(kind, tmp_path, data))
    assert len(movie) == 5 and movie.frame_shape == data.shape[1:]
    for t in (0, 4, -1):
        frame = movie[t]
        assert frame.dtype == np.float32
        np.testing.assert_array_equal(frame, data[t].astype(np.float32))
    with pytest.raises(IndexError, match="frame 5 is out of range"):
        movie[5]
    # Chunks keep the stored type, and each is the caller's own: writing to one changes nothing.
    chunk = movie.read(1, 4)
    assert chunk.dtype == np.uint16 and chunk.flags.c_contiguous and chunk.flags.writeable
    chunk[...] = 0
    np.testing.assert_array_equal(movie.read(1, 4), data[1:4])


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.int64, np.float16, np.float64, ">u2"])
def test_real_sample_types_become_float32_and_one_image_is_one_frame(dtype):
    data = np.arange(12, dtype=np.int64).reshape(3, 4).astype(dtype)
    movie = qt.open_movie(data)
    assert len(movie) == 1
    np.testing.assert_array_equal(movie[0], data.astype(np.float32))


@pytest.mark.parametrize("data, message", [
    (np.zeros((2, 4, 4), bool), "boolean data is not an image"),
    (np.zeros((2, 4, 4), complex), "complex data is not supported"),
    (np.zeros(4), "1 dimension\\(s\\) is too few"),
    (np.zeros((1, 2, 3, 4, 5)), "5 dimensions is too many"),
])
def test_unusable_arrays(data, message):
    with pytest.raises(qt.MovieError, match=message):
        qt.open_movie(data)


def test_unusable_files(tmp_path):
    with pytest.raises(FileNotFoundError, match="nothere.tif: no such file"):
        qt.open_movie(tmp_path / "nothere.tif")
    text = tmp_path / "notes.tif"
    text.write_text("these are notes, not pixels\n" * 20)
    with pytest.raises(qt.MovieError, match="notes.tif: not a TIFF image"):
        qt.open_movie(text)
    (tmp_path / "bad.npy").write_bytes(b"\x93NUMPY garbage")
    with pytest.raises(qt.MovieError, match="bad.npy: not a readable .npy array"):
        qt.open_movie(tmp_path / "bad.npy")


def test_truncated_tiff_keeps_its_readable_frames(tmp_path):
    data = np.random.default_rng(2).integers(0, 1000, (6, 32, 32)).astype(np.uint16)
    path = tmp_path / "cut.tif"
    tifffile.imwrite(path, data)
    whole = path.read_bytes()
    # Cut inside the pixels of frame 3 (2 KiB per frame).
    path.write_bytes(whole[: len(whole) - 2 * 2048 - 1024])
    movie = qt.open_movie(path)
    for t in range(3):
        np.testing.assert_array_equal(movie[t], data[t].astype(np.float32))
    with pytest.raises(qt.MovieError, match="cut.tif: frame 3 cannot be read"):
        movie[3]
    with pytest.raises(qt.MovieError, match="cut.tif: frame 3 cannot be read"):
        qt.batch(path, progress=False)
    np.save(tmp_path / "cut.npy", data)
    whole = (tmp_path / "cut.npy").read_bytes()
    (tmp_path / "cut.npy").write_bytes(whole[: len(whole) - 2 * 2048 - 1024])
    with pytest.raises(qt.MovieError, match="cut.npy: frame 3 cannot be read"):
        qt.open_movie(tmp_path / "cut.npy").read(2, 6)
