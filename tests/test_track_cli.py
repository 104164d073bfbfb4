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
from quorlin_track import cli
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
    done = run(small_tiff, "-o", "t.csv", "--figure", "t.png", "--frames", "1:", "--min-length", "2",
               cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    spots = qt.batch(qt.open_movie(small_tiff)[1:], progress=False)
    spots["frame"] += 1
    expected = qt.link(spots, 3.0)
    expected = expected[expected.groupby("particle")["frame"].transform("size") >= 2]
    written = qt.load(tmp_path / "t.csv")
    pd.testing.assert_frame_equal(written, expected.reset_index(drop=True))
    assert written.attrs["version"] == qt.__version__ and written.attrs["movie"] == str(small_tiff)
    assert {k: written.attrs["parameters"][k] for k in ("max_skip", "min_length", "frames", "diameter")} \
        == {"max_skip": 0, "min_length": 2, "frames": [1, 6], "diameter": 7}
    assert (tmp_path / "t.png").read_bytes().startswith(PNG_SIGNATURE)
    for line in ("frames: 5", f"detections: {len(expected)}", "tracks: ", "points per track",
                 "time: detect "):
        assert line in done.stdout
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv", "t.png"]


@pytest.mark.parametrize("table, figure, signatures", [
    ("t.parquet", "f.pdf", (b"PAR1", b"%PDF")),
    ("t.pq", "f.svg", (b"PAR1", b"<?xml")),
])
def test_each_extension_writes_its_format(tmp_path, small_tiff, monkeypatch, table, figure, signatures):
    monkeypatch.chdir(tmp_path)
    assert cli.main([str(small_tiff), "-o", table, "--figure", figure, "--no-progress"]) == 0
    assert [(tmp_path / name).read_bytes()[:len(s)] for name, s in zip((table, figure), signatures)] \
        == list(signatures)
    assert qt.load(tmp_path / table).attrs["parameters"]["max_distance"] == 3.0


@pytest.mark.parametrize("make, args, code, message", [
    (None, ["missing.tif"], 1, "quorlin-track: error: missing.tif: no such file"),
    ("text", ["notes.tif"], 1, "notes.tif: not a TIFF image"),
    ("movie", ["m.tif", "-o", "m.tif"], 2, "-o m.tif is the movie itself; choose another name"),
    ("link", ["m.tif", "-o", "link.csv"], 2, "-o link.csv is the movie itself"),
    ("movie", ["m.tif", "-o", "t.tif"], 2, "-o t.tif: write it as .csv, .parquet, .pq"),
    ("movie", ["m.tif", "--figure", "f.jpg"], 2, "--figure f.jpg: write it as .png, .pdf, .svg"),
    ("movie", ["m.tif", "-o", "t.csv", "--figure", "t.csv"], 2, "--figure t.csv: write it as"),
    ("movie", ["m.tif", "-o", "gone/t.csv"], 1, "No such file or directory: 'gone/t.csv'"),
    ("movie", ["m.tif", "--window", "4"], 2, "--window must be an odd integer >= 3 and <= 31"),
    ("movie", ["m.tif", "--window", "31"], 2, "--window 31 is wider than the movie's frames"),
    ("movie", ["m.tif", "--threshold", "high"], 2, "--threshold must be 'auto' or a number"),
    ("movie", ["m.tif", "--threshold", "nan"], 2, "--threshold must be a finite number, got nan"),
    ("movie", ["m.tif", "--min-distance", "-1"], 2, "--min-distance must be a finite number >= 0"),
    ("movie", ["m.tif", "--max-distance", "inf"], 2, "--max-distance must be a finite number > 0"),
    ("movie", ["m.tif", "--max-skip", "-1"], 2, "--max-skip must be an integer >= 0 (frames)"),
    ("movie", ["m.tif", "--min-length", "0"], 2, "--min-length must be an integer >= 1"),
    ("movie", ["m.tif", "--pixel-size", "nan"], 2, "--pixel-size must be a finite number > 0"),
    ("movie", ["m.tif", "--frames", "2-4"], 2, "--frames must be START:STOP"),
    ("movie", ["m.tif", "--frames", "9:"], 2, "--frames 9: selects no frame of m.tif (3 frames)"),
    ("movie", ["m.tif", "--channel", "0"], 1, "m.tif: the file has no channel axis"),
    ("movie", ["m.tif", "--out", "d"], 2, "--out applies to --demo only"),
    (None, [], 2, "give a MOVIE file, or --demo"),
])
def test_cli_errors_come_before_any_work(tmp_path, monkeypatch, capsys, make, args, code, message):
    if make == "text":
        (tmp_path / "notes.tif").write_text("not pixels\n" * 10)
    if make in ("movie", "link"):
        tifffile.imwrite(tmp_path / "m.tif", np.zeros((3, 16, 24), np.uint16), photometric="minisblack")
        (tmp_path / "link.csv").symlink_to(tmp_path / "m.tif")
    monkeypatch.chdir(tmp_path)
    assert cli.main(args) == code
    out, err = capsys.readouterr()
    assert message in err and "movie:" not in out, err
    assert not (tmp_path / "tracks.csv").exists() and not list(tmp_path.glob(".*"))


@pytest.mark.parametrize("signal_number, code, word", [(signal.SIGINT, 130, "interrupted"),
                                                       (signal.SIGTERM, 143, "terminated")])
def test_a_stopped_run_leaves_no_output(tmp_path, signal_number, code, word):
    # The raw detector with thresholds at 0 makes every local maximum of the noise a spot: slow
    # enough to stop. The child takes Ctrl-C even where this suite runs with SIGINT ignored (a
    # background job).
    rng = np.random.default_rng(0)
    np.save(tmp_path / "noise.npy", rng.normal(100, 10, (600, 192, 192)).astype(np.float32))
    child = subprocess.Popen([sys.executable, "-m", "quorlin_track", "noise.npy", "--detector",
                              "peaks", "--threshold", "0", "--min-distance", "0", "--no-progress"],
                             cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert child.stdout.readline().startswith("movie: noise.npy")
    time.sleep(1.0)
    child.send_signal(signal_number)
    sent = time.monotonic()
    _, stderr = child.communicate(timeout=120)
    assert child.returncode == code and f"{word}; no output written" in stderr, stderr
    assert time.monotonic() - sent < 30
    assert os.listdir(tmp_path) == ["noise.npy"]


def test_a_stop_after_the_table_says_what_was_written(tmp_path, small_tiff, monkeypatch, capsys):
    def stopped(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "save_figure", stopped)
    monkeypatch.chdir(tmp_path)
    assert cli.main([str(small_tiff), "-o", "t.csv", "--figure", "t.png"]) == 130
    assert capsys.readouterr().err == "quorlin-track: interrupted; wrote t.csv in full; t.png not written\n"
    assert sorted(os.listdir(tmp_path)) == ["t.csv"]
    with pytest.raises(SystemExit):
        cli.main(["--version"])
    assert capsys.readouterr().out == f"quorlin-track {qt.__version__}\n"


def test_demo_chain_meets_the_truth(tmp_path):
    path, truth_path, movie = write_demo_movie(tmp_path, DemoSettings(size=(96, 96), particles=40,
                                                                      frames=12))
    truth = pd.read_csv(truth_path)
    assert len(truth) == 40 * 12 and list(truth.columns) == ["frame", "particle", "y", "x", "visible"]
    tracks = qt.link(qt.batch(path, progress=False), 3.0, max_skip=1)
    result = evaluate(tracks, movie)
    assert result.isolated > 100
    assert np.all((0.7 * result.cramer_rao < result.rms_error) & (result.rms_error < 3 * result.cramer_rao))
    assert result.links > 200 and result.correct_links / result.links > 0.85


def test_cli_links_under_a_motion_model_and_writes_the_track_table(tmp_path, small_tiff):
    done = run(small_tiff, "-o", "t.csv", "--motion", "velocity", "--initial-distance", "4",
               "--track-table", "s.csv", "--pixel-size", "0.1", "--frame-interval", "0.5",
               cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    expected = qt.link(qt.batch(small_tiff, progress=False), 3.0, motion="velocity",
                       initial_distance=4.0)
    pd.testing.assert_frame_equal(qt.load(tmp_path / "t.csv"), expected)
    summary = qt.track_table(expected, pixel_size=0.1, frame_interval=0.5).reset_index()
    pd.testing.assert_frame_equal(qt.load(tmp_path / "s.csv"), summary)
    refused = run(small_tiff, "--initial-distance", "4", cwd=tmp_path)
    assert refused.returncode == 2
    assert "--initial-distance applies to --motion velocity or drift only" in refused.stderr
