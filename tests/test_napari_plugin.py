"""The napari plugin, headless: its manifest, controls built from signatures, the widget's preview,
run, cancel, export and error reports, and the reader and writers of track tables."""

import inspect
import os
import subprocess
import sys
import threading
import time
import warnings
from collections.abc import Sequence
from typing import Literal, Optional, Union

import numpy as np
import pandas as pd
import pytest

os.environ["QT_QPA_PLATFORM"] = "offscreen"  # no display needed, nor wanted

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the viewer's own deprecation notices, on import
    napari = pytest.importorskip("napari")
    from napari.components import ViewerModel
    from napari.layers import Layer
    from napari.utils.notifications import notification_manager
    from qtpy.QtWidgets import QApplication

import quorlin_track as qt
from quorlin_track.demo import DemoSettings
from quorlin_track.napari import _work
from quorlin_track.napari._controls import controls
from quorlin_track.napari._io import get_reader, write_points, write_tracks
from quorlin_track.napari._sample import synthetic_movie
from quorlin_track.napari._widget import TrackWidget
from quorlin_track.synthetic import simulate

NAMES = {"fast": None, "exact": None}  # a registry of choices, named in toy's docstring


def toy(data, threshold: Union[Literal["auto"], float] = "auto", *, flag: bool = False,
        count: int = 3, width: float = 2.5, mode: Optional[str] = None, limit: Optional[int] = None,
        sigmas: Optional[Sequence[float]] = None, shape: Literal["disk", "square"] = "disk",
        reach: float, progress: bool = True):
    """Toy.

    Parameters
    ----------
    data : array
        Ignored.
    threshold : "auto" or float
        Level, in counts.
    flag, count : bool or int
        Switches.
    mode : str, optional
        A name in ``NAMES``.
    reach : float
        Longest link, pixels.

    Returns
    -------
    None
    """


def toy_batch(movie, threshold="auto", limit: "Unresolvable" = None):  # noqa: F821
    """Parameters
    ----------
    threshold
        As for :func:`toy`.
    """


def test_controls_follow_the_signature_and_docstring():
    made = {c.name: c for c in controls(toy, skip=["progress"], start={"reach": 3.0})}
    assert [(c.name, c.kind, c.value, c.choices) for c in made.values()] == [
        ("threshold", "text", "auto", ()), ("flag", "check", False, ()), ("count", "int", 3, ()),
        ("width", "float", 2.5, ()), ("mode", "combo", None, (None, "fast", "exact")),
        ("limit", "text", None, ()), ("sigmas", "text", None, ()),
        ("shape", "combo", "disk", ("disk", "square")), ("reach", "float", 3.0, ())]
    assert made["threshold"].tooltip == 'threshold ("auto" or float): Level, in counts.'
    assert made["count"].tooltip == "count (bool or int): Switches."
    assert made["mode"].parse("none") is None and made["shape"].parse("square") == "square"
    assert [made["threshold"].parse(t) for t in ("auto", " 12.5 ")] == ["auto", 12.5]
    assert (made["limit"].parse(""), made["limit"].parse("7")) == (None, 7)
    assert made["sigmas"].parse("1, 2 3") == (1.0, 2.0, 3.0)
    with pytest.raises(ValueError, match="threshold must be 'auto' or a number, got 'x'"):
        made["threshold"].parse("x")
    with pytest.raises(ValueError, match=r"limit must be an integer or empty for none, got '2.5'"):
        made["limit"].parse("2.5")
    # Unresolvable hints fall back to the defaults; "As for" borrows the other function's text.
    fallback = controls(toy_batch)
    assert [(c.name, c.kind, c.optional, c.free_text) for c in fallback] == [
        ("threshold", "text", False, True), ("limit", "text", True, False)]
    assert fallback[0].tooltip == made["threshold"].tooltip
    # The real functions: every keyword has a control and a tooltip.
    for function, data in ((qt.batch, {"movie", "progress"}), (qt.link, {"spots"})):
        names = [n for n in inspect.signature(function).parameters if n not in data]
        made = controls(function, skip=["progress"])
        assert [c.name for c in made] == names and all(c.tooltip for c in made)


def test_manifest_validates_and_names_importable_commands():
    done = subprocess.run([sys.executable, "-m", "npe2", "validate", "quorlin", "--imports"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and "valid" in done.stdout, done.stdout + done.stderr
    ((frames, keywords, kind),) = synthetic_movie(DemoSettings(size=(24, 32), particles=3,
                                                               frames=2))
    assert (frames.shape, frames.dtype, keywords["name"], kind) == (
        (2, 24, 32), np.float32, "synthetic movie", "image")


def wait_until(condition, timeout=60.0):
    """Runs the Qt event loop until condition() holds."""
    end = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < end, "timed out waiting for the widget"
        QApplication.processEvents()
        time.sleep(0.002)


def movie(volume=False, frames=30):
    shape = (8, 24, 24) if volume else (48, 48)
    return simulate(shape, 12, frames, [1.3] * len(shape), 1500.0, 10.0, 1.5, 0.25, 0.05, 0.5,
                    seed=3).frames


@pytest.fixture
def viewer():
    return ViewerModel()


@pytest.fixture
def widget(viewer):
    made = TrackWidget(viewer)
    yield made
    wait_until(lambda: not made.running and not made.preview_pending)
    made.close()


def notified(since, text):
    return any(text in str(n.message) for n in notification_manager.records[since:])


@pytest.mark.parametrize("volume", [False, True])
def test_preview_shows_locate_of_the_frame_on_screen(viewer, widget, volume):
    data = movie(volume, frames=5)
    viewer.add_image(data, name="cells")
    viewer.dims.set_current_step(0, 3)
    widget["min_distance"].value = 4.0
    widget["diameter"].value = 5
    wait_until(lambda: widget.preview_layer is not None and not widget.preview_pending)
    expected = qt.locate(data[3], min_distance=4.0, diameter=5)
    axes = ["frame", "z", "y", "x"] if volume else ["frame", "y", "x"]
    assert len(expected) > 3
    np.testing.assert_array_equal(widget.preview_layer.data, expected.assign(frame=3)[axes])
    pd.testing.assert_frame_equal(widget.preview_layer.features, expected.drop(columns=axes))


def test_run_gives_batch_and_link_and_exports_them(viewer, widget, tmp_path):
    data = movie()
    viewer.add_image(data, name="cells")
    widget["min_distance"].value = 4.0
    widget["max_skip"].value = 1
    widget.run()
    wait_until(lambda: not widget.running)
    expected = qt.link(qt.batch(data, min_distance=4.0), max_distance=3.0, max_skip=1)
    pd.testing.assert_frame_equal(widget.tracks, expected)
    assert widget.progress.value == len(data)
    spots, tracks = viewer.layers["cells spots"], viewer.layers["cells tracks"]
    np.testing.assert_array_equal(spots.data, expected[["frame", "y", "x"]])
    pd.testing.assert_frame_equal(spots.features, expected.drop(columns=["frame", "y", "x"]))
    np.testing.assert_array_equal(tracks.data, qt.to_napari(expected)[0])
    widget.colour.value = "D"
    assert tracks.color_by == "D"
    widget.save_tracks(tmp_path / "tracks.parquet")
    widget.save_track_table(tmp_path / "per_track.csv")
    pd.testing.assert_frame_equal(qt.load(tmp_path / "tracks.parquet"), expected)
    pd.testing.assert_frame_equal(qt.load(tmp_path / "per_track.csv"),
                                  qt.track_table(expected).reset_index())


def test_cancel_stops_the_run_after_the_chunk_under_way(viewer, widget, monkeypatch):
    chunks, release = [], threading.Event()

    def gated_batch(frames, **keywords):
        chunks.append(len(frames))
        release.wait(60)
        return qt.batch(frames, **keywords)

    monkeypatch.setattr(_work, "batch", gated_batch)
    viewer.add_image(movie(), name="cells")
    widget.run()
    wait_until(lambda: chunks)
    widget.cancel()
    release.set()
    wait_until(lambda: not widget.running)
    assert chunks == [1] and widget.status.value == "cancelled"
    assert widget.tracks is None and "cells tracks" not in viewer.layers
    assert widget.run_button.enabled


@pytest.mark.parametrize("setting, value, message", [
    ("image", "rgb", "has shape (5, 16, 16, 3): tracking needs a movie of shape (T, Y, X)"),
    ("threshold", "bright", "threshold must be 'auto' or a number, got 'bright'"),
    ("window", 4, "window must be an odd integer >= 3"),  # raised on the worker thread
])
def test_errors_become_notifications(viewer, widget, setting, value, message):
    viewer.add_image(movie(frames=5), name="cells")
    viewer.add_image(np.zeros((5, 16, 16, 3), np.uint8), name="rgb", rgb=True)
    since = len(notification_manager.records)
    widget[setting].value = viewer.layers[value] if setting == "image" else value
    wait_until(lambda: notified(since, message))
    widget.run()
    wait_until(lambda: not widget.running)
    assert widget.tracks is None
    with pytest.raises(ValueError, match="nothing to save yet: run the tracking first"):
        widget.save_tracks("tracks.csv")


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_reader_and_writers_round_trip_a_track_table(tmp_path, suffix):
    tracks = qt.link(qt.batch(movie(frames=8)), max_distance=3.0)
    path = str(tmp_path / f"tracks{suffix}")
    qt.save(tracks, path)
    (tmp_path / "other.csv").write_text("a,b\n1,2\n")
    assert get_reader(str(tmp_path / "other.csv")) is None
    assert get_reader(str(tmp_path / "notes.txt")) is None
    layers = [Layer.create(*made) for made in get_reader(path)(path)]
    assert [(l.name, type(l).__name__) for l in layers] == [("tracks spots", "Points"),
                                                            ("tracks tracks", "Tracks")]
    for layer, write in zip(layers, (write_points, write_tracks)):
        out = str(tmp_path / f"{layer.name.replace(' ', '_')}{suffix}")
        data, meta, _ = layer.as_layer_data_tuple()
        assert write(out, data, meta) == [out]
        back = qt.load(out)
        expected = tracks
        if write is write_tracks:  # a Tracks layer holds its rows by particle, then frame
            expected = tracks.sort_values(["particle", "frame"], kind="stable")
        pd.testing.assert_frame_equal(back, expected.reset_index(drop=True))
