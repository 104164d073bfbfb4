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


@pytest.mark.parametrize("kind", ["folder", "glob", "list"])
def test_files_of_a_folder_glob_or_list_are_one_movie_in_natural_order(tmp_path, kind):
    frames = np.arange(12 * 4 * 5, dtype=np.uint16).reshape(12, 4, 5)
    for t in range(12):
        tifffile.imwrite(tmp_path / f"img{t}.tif", frames[t])
    (tmp_path / "notes.txt").write_text("not a frame")
    source = {"folder": tmp_path, "glob": str(tmp_path / "img*.tif"),
              "list": [tmp_path / f"img{t}.tif" for t in (11, 2, 0, 1, 10, 3, 4, 5, 6, 7, 8, 9)]}[kind]
    movie = qt.open_movie(source)
    assert len(movie) == 12 and movie.paths[:3] == tuple(tmp_path / f"img{t}.tif" for t in range(3))
    np.testing.assert_array_equal(movie.read(0, 12), frames)
    np.testing.assert_array_equal(movie[3:11:4].read(0, 2), frames[[3, 7]])
    tifffile.imwrite(tmp_path / "img12.tif", frames[:2])
    if kind != "list":
        with pytest.raises(qt.MovieError, match=r"img12.tif: holds 2 frame\(s\) of shape \(4, 5\) "
                                                r"and type uint16; the first file, img0.tif, holds 1"):
            qt.open_movie(source).read(10, 13)


def test_axes_metadata_decide_time_depth_and_channel(tmp_path):
    data = np.arange(2 * 5 * 3 * 4 * 6, dtype=np.uint16).reshape(2, 5, 3, 4, 6)  # C, T, Z, Y, X
    tifffile.imwrite(tmp_path / "ctz.ome.tif", data, ome=True, metadata={
        "axes": "CTZYX", "PhysicalSizeX": 130, "PhysicalSizeXUnit": "nm", "TimeIncrement": 50,
        "TimeIncrementUnit": "ms"})
    tifffile.imwrite(tmp_path / "ctz.zlib.ome.tif", data, ome=True, compression="zlib",
                     metadata={"axes": "CTZYX"})
    for name in ("ctz.ome.tif", "ctz.zlib.ome.tif"):
        movie = qt.open_movie(tmp_path / name, channel=1)
        assert (len(movie), movie.frame_shape) == (5, (3, 4, 6))
        np.testing.assert_array_equal(movie.read(1, 4), data[1, 1:4])
    movie = qt.open_movie(tmp_path / "ctz.ome.tif", channel=0)
    assert movie.pixel_size == pytest.approx(0.13) and movie.frame_interval == pytest.approx(0.05)
    with pytest.raises(qt.MovieError, match="axes are CTZYX with 2 channels; choose one with channel="):
        qt.open_movie(tmp_path / "ctz.ome.tif")
    with pytest.raises(qt.MovieError, match="channel 2 does not exist; the file has 2 channels"):
        qt.open_movie(tmp_path / "ctz.ome.tif", channel=2)
    # A Z-stack is one volume; ImageJ's metadata give the pixel size and frame interval.
    tifffile.imwrite(tmp_path / "z.ome.tif", data[0, 0], ome=True, metadata={"axes": "ZYX"})
    movie = qt.open_movie(tmp_path / "z.ome.tif")
    assert (len(movie), movie.frame_shape) == (1, (3, 4, 6))
    tifffile.imwrite(tmp_path / "ij.tif", data[0, :, 0], imagej=True, resolution=(1 / 0.2, 1 / 0.2),
                     metadata={"axes": "TYX", "unit": "um", "finterval": 0.5})
    movie = qt.open_movie(tmp_path / "ij.tif")
    assert (len(movie), movie.pixel_size, movie.frame_interval) == (5, pytest.approx(0.2), 0.5)
    with pytest.raises(qt.MovieError, match="has no channel axis \\(axes TYX\\); leave channel out"):
        qt.open_movie(tmp_path / "ij.tif", channel=0)
    tifffile.imwrite(tmp_path / "q.tif", data[0], photometric="minisblack", metadata={"axes": "TQYX"})
    with pytest.raises(qt.MovieError, match="axes are TQYX \\(shape 5 x 3 x 4 x 6\\); a movie has "
                                            "time \\(T\\), depth \\(Z\\) and channel \\(C\\) axes"):
        qt.open_movie(tmp_path / "q.tif")


@pytest.mark.parametrize("options, keep, lost", [
    ({"compression": "zlib"}, 0.5, 2),
    ({"tile": (16, 16)}, 0.5, 2),
    ({"ome": True}, 0.9, 3),
])
def test_damaged_tiffs_keep_their_readable_frames_and_name_the_first_lost(
        tmp_path, caplog, options, keep, lost):
    data = np.random.default_rng(3).integers(0, 1000, (6, 32, 32)).astype(np.uint16)
    tifffile.imwrite(tmp_path / "m.tif", data, **options)
    whole = (tmp_path / "m.tif").read_bytes()
    (tmp_path / "m.tif").write_bytes(whole[: int(len(whole) * keep)])
    movie = qt.open_movie(tmp_path / "m.tif")
    assert len(movie) > lost and "the file is damaged or truncated" in caplog.text
    np.testing.assert_array_equal(movie.read(0, lost), data[:lost])
    with pytest.raises(qt.MovieError, match=f"m.tif: frame {lost} cannot be read"):
        movie.read(0, len(movie))


def test_a_page_of_another_type_is_an_error_naming_it(tmp_path):
    with tifffile.TiffWriter(tmp_path / "mixed.tif") as writer:
        for t in range(4):
            writer.write(np.zeros((8, 8), np.float32 if t == 2 else np.uint16), contiguous=False)
    with pytest.raises(qt.MovieError, match="mixed.tif: page 2 holds float32 samples of shape "
                                            r"\(8, 8\), page 0 uint16 of shape \(8, 8\)"):
        qt.open_movie(tmp_path / "mixed.tif")


def test_reader_records_reach_the_terminal_only_through_logging(tmp_path, python_subprocess):
    tifffile.imwrite(tmp_path / "m.tif", np.zeros((6, 32, 32), np.uint16), compression="zlib")
    whole = (tmp_path / "m.tif").read_bytes()
    (tmp_path / "m.tif").write_bytes(whole[: len(whole) // 2])
    done = python_subprocess(f"""
        import quorlin_track as qt
        print(len(qt.open_movie({str(tmp_path / "m.tif")!r})))
        """)
    assert done.returncode == 0 and done.stdout == "6\n" and done.stderr == "", done.stderr


class ShortReads:
    """A source that claims more frames than its slices return."""

    shape, dtype = (10**15, 8, 8), np.dtype(np.uint16)

    def __getitem__(self, key):
        return np.zeros((3, 8, 8), np.uint16)


def test_reads_are_checked_and_reader_errors_become_movie_errors(tmp_path):
    with pytest.raises(qt.MovieError, match=r"ShortReads of shape \(1000000000000000, 8, 8\): frame 3 "
                                            r"cannot be read \(the source returned 3 of the 32 frames"):
        qt.batch(ShortReads(), progress=False)
    import zarr

    array = zarr.open(str(tmp_path / "m.zarr"), mode="w", shape=(4, 8, 8), dtype="u2",
                      chunks=(1, 8, 8))
    array[...] = 7
    chunks = sorted(p for p in (tmp_path / "m.zarr").rglob("*") if p.is_file() and "json" not in p.name
                    and not p.name.startswith("."))
    chunks[2].unlink()
    with pytest.raises(qt.MovieError, match="m.zarr: frame 2 cannot be read \\(its chunk is missing"):
        qt.batch(tmp_path / "m.zarr", progress=False)
    chunks[1].write_bytes(b"garbage")
    with pytest.raises(qt.MovieError, match="m.zarr: frame 1 cannot be read \\("):
        qt.open_movie(tmp_path / "m.zarr")[1]
