"""The quorlin-track command end to end on small files: outputs, messages and exit codes, Ctrl-C,
and the demo's chain against its ground truth."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest
import tifffile

import quorlin_track as qt
from quorlin_track.demo import DemoSettings, evaluate, write_demo_movie
from quorlin_track.synthetic import simulate

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run(*args, cwd):
    return subprocess.run([sys.executable, "-m", "quorlin_track", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300, check=False)


@pytest.fixture(scope="module")
def small_tiff(tmp_path_factory):
    movie = simulate((40, 56), 8, 6, np.full(2, 1.3), 1500.0, 10.0, 1.5, 0.2, 0.0, 1.0, 5)
    path = tmp_path_factory.mktemp("movie") / "small.tif"
    tifffile.imwrite(path, np.clip(np.rint(movie.frames), 0, None).astype(np.uint16))
    return path


def test_cli_writes_the_library_tracks_and_a_summary(tmp_path, small_tiff):
    done = run(small_tiff, "-o", "t.csv", "--figure", "t.png", "--max-skip", "0", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    expected = qt.link(qt.batch(small_tiff, progress=False), 3.0, 0)
    written = pd.read_csv(tmp_path / "t.csv")
    assert list(written.columns) == ["frame", "y", "x", "intensity", "mass", "background", "size",
                                     "snr", "located_by", "particle"]
    # float32 values are written in their shortest form, which reads back to the same float32.
    pd.testing.assert_frame_equal(written.astype(expected.dtypes.to_dict()), expected)
    assert (tmp_path / "t.png").read_bytes().startswith(PNG_SIGNATURE)
    for line in ("frames: 6", f"detections: {len(expected)}", "tracks: ", "points per track",
                 "time: detect "):
        assert line in done.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv", "t.png"]


@pytest.mark.parametrize("make, args, code, message", [
    (None, ["missing.tif"], 1, "quorlin-track: error: missing.tif: no such file"),
    ("text", ["notes.tif"], 1, "notes.tif: not a TIFF image"),
    (None, ["x.tif", "--window", "4"], 2, "--window must be an odd integer >= 3"),
    (None, ["x.tif", "--threshold", "high"], 2, "--threshold must be 'auto' or a number"),
    (None, [], 2, "give a MOVIE file, or --demo"),
])
def test_cli_errors(tmp_path, make, args, code, message):
    if make == "text":
        (tmp_path / "notes.tif").write_text("not pixels\n" * 10)
    done = run(*args, cwd=tmp_path)
    assert done.returncode == code and message in done.stderr, done.stderr
    assert not (tmp_path / "tracks.csv").exists()


def test_ctrl_c_stops_without_output(tmp_path):
    # The raw detector with thresholds at 0 makes every local maximum of the noise a spot: slow
    # enough to interrupt.
    rng = np.random.default_rng(0)
    np.save(tmp_path / "noise.npy", rng.normal(100, 10, (600, 192, 192)).astype(np.float32))
    child = subprocess.Popen([sys.executable, "-m", "quorlin_track", "noise.npy", "--detector", "peaks",
                              "--threshold", "0", "--min-distance", "0", "--no-progress"], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline().startswith("movie: noise.npy")
    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    _, stderr = child.communicate(timeout=120)
    assert child.returncode == 130 and "interrupted" in stderr
    assert time.monotonic() - sent < 30
    assert os.listdir(tmp_path) == ["noise.npy"]


def test_demo_chain_meets_the_truth(tmp_path):
    path, truth_path, movie = write_demo_movie(tmp_path, DemoSettings(size=(96, 96), particles=40,
                                                                      frames=12))
    truth = pd.read_csv(truth_path)
    assert len(truth) == 40 * 12 and list(truth.columns) == ["frame", "particle", "y", "x", "visible"]
    tracks = qt.link(qt.batch(path, progress=False), 3.0, 1)
    result = evaluate(tracks, movie)
    assert result.isolated > 100
    assert np.all((0.7 * result.cramer_rao < result.rms_error) & (result.rms_error < 3 * result.cramer_rao))
    assert result.links > 200 and result.correct_links / result.links > 0.85
