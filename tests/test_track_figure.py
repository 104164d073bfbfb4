"""The figure of a tracked movie: contrast that a hot pixel does not decide, a scale bar when the
pixel size is known, a maximum projection for volumes, and a clear panel without tracks."""

import numpy as np
import pandas as pd

import quorlin_track as qt
from quorlin_track.figure import tracks_figure


def test_figure_panels():
    frames = np.random.default_rng(5).normal(100, 5, (3, 4, 60, 80)).astype(np.float32)
    frames[0, 2, 30, 40] = 60000  # a hot pixel in one plane of frame 0
    tracks = pd.DataFrame({"frame": [0, 1, 2], "z": 1.0, "y": [10.0, 11, 12], "x": [20.0, 21, 22],
                           "intensity": 5.0, "particle": 0})
    figure = tracks_figure(tracks, qt.open_movie(frames), pixel_size=0.1)
    left, right = figure.axes[:2]
    image = left.get_images()[0]
    np.testing.assert_array_equal(image.get_array(), frames[0].max(axis=0))
    low, high = image.get_clim()
    assert 80 < low < 100 < high < 130
    assert [t.get_text() for t in left.texts] == ["1 µm"] and len(left.patches) == 1
    assert right.get_images()[0].get_array().count() > 0
    empty = tracks_figure(tracks.iloc[:0], qt.open_movie(frames[:, 0]))
    assert [t.get_text() for t in empty.axes[1].texts] == ["no tracks"] and not empty.axes[0].texts
