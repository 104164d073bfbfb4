"""Track tables in files: every column dtype save accepts comes back from load, with the table's
attrs; what a format cannot give back is refused; files are written whole, through links, and
never in place of a special file."""

import os
import stat
import threading

import numpy as np
import pandas as pd
import pytest

import quorlin_track as qt


def every_dtype(csv):
    table = pd.DataFrame({
        "frame": np.array([0, 1, 2], np.int32),
        "f16": np.float16([1.5, np.nan, -0.0]),
        "f32": np.float32([0.1, np.inf, 3.3333333]),
        "u64": np.array([2**64 - 1, 0, 5], np.uint64),
        "kept": [True, False, True],
        "ns": pd.to_datetime(["2024-01-01 00:00:00.000000001", None, "2024-03-01 00:00:00.5"],
                             format="ISO8601"),
        "seconds": pd.to_datetime(["2024-01-01", None, "2024-03-01"]).astype("datetime64[s]"),
        "zoned": pd.to_datetime(["2024-01-01 00:00", None, "2024-07-01 12:00"]).tz_localize(
            "Europe/Berlin"),
        "lag": pd.to_timedelta([1e-9, None, 3.5], unit="s"),
        "count": pd.array([1, None, 3], dtype="Int64"),
        "share": pd.array([1.5, None, 3], dtype="Float32"),
        "flag": pd.array([True, None, False], dtype="boolean"),
        "label": ["a", "", "nan"],
        "note": pd.array(["a, \"b\"\nc", None, "d"], dtype="string"),
        "how": pd.Categorical(["b", None, "b"], categories=["b", "a, c"], ordered=True),
    })
    if csv:
        table["phase"] = np.complex128([1 + 2j, np.nan, 3e-300j])
    table.attrs = {"parameters": {"max_distance": np.float32(2.5), "frames": [0, 10]},
                   "version": "1.0"}
    return table


@pytest.mark.parametrize("name", ["t.csv", "t.parquet"])
def test_every_accepted_dtype_and_the_attrs_come_back(tmp_path, name):
    table = every_dtype(name.endswith(".csv"))
    qt.save(table, tmp_path / name)
    back = qt.load(tmp_path / name)
    pd.testing.assert_frame_equal(back, table, check_exact=True)
    assert back.attrs == {"parameters": {"max_distance": 2.5, "frames": [0, 10]}, "version": "1.0"}
    assert os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("name, column, message", [
    ("t.csv", pd.Categorical([1, 2]), "'c' of dtype category cannot be stored in CSV"),
    ("t.csv", pd.Series([1, "a"], dtype=object), "'c' of dtype object cannot be stored in CSV"),
    ("t.csv", pd.Series(["", None], dtype=object), "both empty strings and missing values"),
    ("t.parquet", np.complex64([1, 2]), "'c' of dtype complex64 cannot be stored in Parquet"),
    ("t.csv", np.longdouble([1, 2]), "convert it to float64"),
])
def test_columns_that_would_come_back_different_are_refused(tmp_path, name, column, message):
    with pytest.raises(TypeError, match=message):
        qt.save(pd.DataFrame({"c": column}), tmp_path / name)
    table = pd.DataFrame({"c": [1]})
    table.attrs = {"when": object()}
    with pytest.raises(TypeError, match="tracks.attrs holds a object, which cannot be stored"):
        qt.save(table, tmp_path / name)
    assert os.listdir(tmp_path) == []


def test_links_are_followed_and_special_files_written_in_place(tmp_path):
    table = pd.DataFrame({"frame": [0, 1], "x": [0.5, 1.5]})
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "t.csv").write_text("old")
    os.chmod(tmp_path / "data" / "t.csv", 0o640)
    os.symlink(tmp_path / "data" / "t.csv", tmp_path / "link.csv")
    qt.save(table, tmp_path / "link.csv")
    assert (tmp_path / "link.csv").is_symlink()
    pd.testing.assert_frame_equal(qt.load(tmp_path / "data" / "t.csv"), table)
    assert stat.S_IMODE(os.stat(tmp_path / "data" / "t.csv").st_mode) == 0o640
    assert sorted(os.listdir(tmp_path / "data")) == ["t.csv"]

    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    qt.save(table, fifo, format="csv")
    reader.join(timeout=30)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and received[0].endswith(b"frame,x\n0,0.5\n1,1.5\n")
    qt.save(table, os.devnull, format="parquet")
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)

    with pytest.raises(IsADirectoryError, match="is a folder, not a file: '.*data'"):
        qt.save(table, tmp_path / "data", format="csv")
    with pytest.raises(FileNotFoundError) as missing:
        qt.save(table, tmp_path / "nowhere" / "t.csv")
    assert missing.value.filename == str(tmp_path / "nowhere" / "t.csv")
