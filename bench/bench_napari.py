"""Benchmark of the napari widget: live-preview latency on a 1024 x 1024 frame (a detection
setting or the frame slider changed -> Points layer updated), the whole movie through the widget
against the same work through the Python API (batch + link) in the same run, and how long Cancel
takes to stop a run.

Runs headless on napari's ViewerModel (no canvas: drawing the points adds one repaint of the
screen); QT_QPA_PLATFORM defaults to offscreen.
"""

import os
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

HERE = Path(__file__).resolve().parent
LATENCY_SIZE, LATENCY_PARTICLES, LATENCY_CHANGES = 1024, 2000, 20
MAX_DISTANCE, MAX_SKIP = 3.0, 1
ROUNDS = 3


def wait_until(app, condition, timeout=600.0):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError("the widget did not finish")
        app.processEvents()
        time.sleep(0.0005)


def preview_latency(app, viewer_model, track_widget):
    """Milliseconds from a change to the preview layer's new data, for a setting and the slider."""
    from quorlin_track.synthetic import simulate

    frames = simulate((LATENCY_SIZE, LATENCY_SIZE), LATENCY_PARTICLES, 4, [1.3, 1.3], 1500.0, 100.0,
                      2.0, 0.25, 0.0, 1.0, seed=5).frames
    viewer = viewer_model()
    viewer.add_image(frames, name="movie")
    widget = track_widget(viewer)
    wait_until(app, lambda: widget.preview_layer is not None and not widget.preview_pending)
    updated = []
    widget.preview_layer.events.data.connect(lambda _: updated.append(time.perf_counter()))

    def measure(change):
        before = len(updated)
        start = time.perf_counter()
        change()
        wait_until(app, lambda: len(updated) > before and not widget.preview_pending)
        return (updated[before] - start) * 1000

    distance = widget["min_distance"]
    setting = [measure(lambda k=k: setattr(distance, "value", 3.0 + 0.1 * (k % 2 + 1)))
               for k in range(LATENCY_CHANGES)]
    slider = [measure(lambda: viewer.dims.set_current_step(
        0, (viewer.dims.current_step[0] + 1) % len(frames))) for _ in range(LATENCY_CHANGES)]
    points = len(widget.preview_layer.data)
    widget.close()
    return setting, slider, points


def whole_movie(app, viewer_model, track_widget, movie):
    """Best seconds of the widget's run and of batch + link, alternating, and the cancel delay."""
    import pandas as pd

    import quorlin_track as qt

    viewer = viewer_model()
    viewer.add_image(movie, name="movie")
    widget = track_widget(viewer)
    widget.preview.value = False
    widget["max_distance"].value = MAX_DISTANCE
    widget["max_skip"].value = MAX_SKIP
    from napari.layers import Layer

    from quorlin_track.napari._tables import spots_layer, tracks_layer

    ours, api, layers, tracks = [], [], [], None
    for _ in range(ROUNDS):
        start = time.perf_counter()
        widget.run()
        wait_until(app, lambda: not widget.running)
        ours.append(time.perf_counter() - start)
        start = time.perf_counter()
        tracks = qt.link(qt.batch(movie, progress=False), max_distance=MAX_DISTANCE,
                         max_skip=MAX_SKIP)
        api.append(time.perf_counter() - start)
        start = time.perf_counter()
        Layer.create(*spots_layer(tracks, "spots"))
        Layer.create(*tracks_layer(tracks, "tracks"))
        layers.append(time.perf_counter() - start)
    pd.testing.assert_frame_equal(widget.tracks, tracks)
    delays = []
    for _ in range(ROUNDS):
        widget.run()
        wait_until(app, lambda: widget.progress.value >= len(movie) // 3)
        start = time.perf_counter()
        widget.cancel()
        wait_until(app, lambda: not widget.running)
        delays.append(time.perf_counter() - start)
    widget.close()
    return min(ours), min(api), min(layers), max(delays), len(tracks)


def main():
    import tifffile

    sys.path.insert(0, str(HERE))
    import bench_track

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from napari.components import ViewerModel
        from qtpy.QtWidgets import QApplication

        from quorlin_track.napari._widget import TrackWidget

    app = QApplication.instance() or QApplication([])
    setting, slider, points = preview_latency(app, ViewerModel, TrackWidget)
    if not bench_track.MOVIE.exists():
        bench_track.make_movie()
    movie = tifffile.imread(bench_track.MOVIE)
    widget_s, api_s, layers_s, cancel_s, rows = whole_movie(app, ViewerModel, TrackWidget, movie)
    from quorlin_track.napari._widget import PREVIEW_DELAY_MS

    lines = [
        "## bench_napari.py: the napari widget",
        "",
        f"Preview latency on a {LATENCY_SIZE} x {LATENCY_SIZE} frame ({points} spots), from the "
        f"change to the Points layer's new data, over {LATENCY_CHANGES} changes (milliseconds; "
        f"{PREVIEW_DELAY_MS} ms of it is the wait that merges quick successive changes):",
        "",
        "| change | median | worst |",
        "|---|---:|---:|",
        f"| a detection setting (min_distance) | {statistics.median(setting):.0f} | "
        f"{max(setting):.0f} |",
        f"| the frame slider | {statistics.median(slider):.0f} | {max(slider):.0f} |",
        "",
        f"Whole movie ({len(movie)} frames of {movie.shape[1]} x {movie.shape[2]} uint16 in "
        f"memory, {rows} detections; link max_distance {MAX_DISTANCE:g}, max_skip {MAX_SKIP}), "
        f"best of {ROUNDS}, alternating:",
        "",
        "| path | seconds | ratio |",
        "|---|---:|---:|",
        f"| batch + link (Python API) | {api_s:.3f} | 1 |",
        f"| napari's Points and Tracks layers of that table | {layers_s:.3f} | |",
        f"| batch + link + layers | {api_s + layers_s:.3f} | {(api_s + layers_s) / api_s:.2f}x |",
        f"| the widget's Run (worker thread, chunks, layers) | {widget_s:.3f} | "
        f"{widget_s / api_s:.2f}x |",
        "",
        f"Cancel a third of the way through: stopped within {cancel_s * 1000:.0f} ms (worst of "
        f"{ROUNDS}).",
    ]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
