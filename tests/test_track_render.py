"""render on tables with holes: rows that are not finite are left out with a count, and the
arguments after the table are keyword-only."""

import numpy as np
import pandas as pd
import pytest

import quorlin_track as qt


def tracks_table(rows=40, seed=4):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"frame": np.tile(np.arange(rows // 4), 4), "y": rng.uniform(0, 20, rows),
                         "x": rng.uniform(0, 30, rows), "intensity": rng.uniform(1, 5, rows),
                         "particle": np.repeat(np.arange(4), rows // 4)})


def assert_same(got, expected):
    np.testing.assert_array_equal(got.intensity, expected.intensity)
    np.testing.assert_array_equal(got.counts, expected.counts)
    assert got.extent == expected.extent


def test_rows_that_are_not_finite_are_left_out_with_a_count(caplog):
    tracks = tracks_table()
    holes = tracks.copy()
    holes.loc[3, "y"], holes.loc[17, "intensity"], holes.loc[30, "x"] = np.nan, np.inf, -np.inf
    whole = tracks.drop(index=[3, 17, 30])
    assert_same(qt.render(holes, pixel_size=0.5), qt.render(whole, pixel_size=0.5))
    assert "left out 3 of 40 rows whose y, x or intensity is not finite" in caplog.text
    # A value that is not finite leaves its row out of the value image only.
    speed = np.linspace(0, 1, 40)
    speed[[5, 22]] = np.nan
    got = qt.render(tracks, pixel_size=0.5, value=speed)
    assert_same(got, qt.render(tracks, pixel_size=0.5))
    kept = tracks.drop(index=[5, 22])
    expected = qt.render(kept, pixel_size=0.5, value=np.delete(speed, [5, 22]), extent=got.extent)
    np.testing.assert_array_equal(got.value, expected.value)
    assert "left out 2 of 40 rows whose value is not finite from the value image" in caplog.text


@pytest.mark.parametrize("call, error, message", [
    (lambda t: qt.render(t, 0.5), TypeError,
     r"^render\(\) takes 1 positional argument \(tracks\); the others are keyword-only"),
    (lambda t: qt.render(t, pixel_size=float("nan")), ValueError,
     r"^pixel_size must be a finite number > 0 \(pixels\), got nan$"),
    (lambda t: qt.render(t, pixel_size="1"), TypeError, r"^pixel_size must be a finite number > 0"),
    (lambda t: qt.render(t, pixel_size=1.0, extent=(0, 1, 0, np.inf)), ValueError,
     r"^extent\[3\] must be a finite number \(pixels\), got inf$"),
    (lambda t: qt.render(t.values, pixel_size=1.0), TypeError,
     r"^tracks must be a pandas DataFrame, got ndarray$"),
    (lambda t: qt.render(t, pixel_size=1.0, value="speed"), ValueError,
     r"^value must name a column of tracks or hold one number per row; tracks has no column 'speed'$"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call(tracks_table())


def test_a_failed_allocation_of_the_raw_renderer_says_what_did_not_fit(monkeypatch):
    def out_of_memory(*args):
        raise MemoryError  # the raw module's bare MemoryError

    monkeypatch.setattr(qt.rendering.quorlin, "rs_draw_tracks", out_of_memory)
    with pytest.raises(MemoryError, match=r"^not enough memory to render 40 track points in cells of 0.5 "
                                          r"pixels over the extent \(\d"):
        qt.render(tracks_table(), pixel_size=0.5)
