"""The demo runs end to end on a small movie, and its simulation and bound are right."""

import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))
import synthetic  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def run_demo(tmp_path, *options):
    output = tmp_path / "figure.png"
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py"), "--output", str(output), *options],
        capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    return done, output


def number(pattern, text):
    match = re.search(pattern, text)
    assert match, f"{pattern!r} not in output:\n{text}"
    return [float(v) for v in match.groups()]


@pytest.mark.parametrize("options, axes", [
    (["--particles", "40", "--frames", "12", "--size", "96"], "xy"),
    (["--mode", "3d", "--particles", "25", "--frames", "8", "--size", "24", "48", "48"], "xyz"),
], ids=["2d", "3d"])
def test_demo_writes_figure_and_summary(tmp_path, options, axes):
    done, output = run_demo(tmp_path, *options)
    assert output.read_bytes().startswith(PNG_SIGNATURE)
    out = done.stdout
    per_axis = r",\s*".join(rf"{a} ([0-9.]+)" for a in axes)
    rms = number(r"isolated spots \(\d+\): " + per_axis + " pixel", out)
    bound = number(r"Cramer-Rao bound for \d+ photons: " + per_axis + " pixel", out)
    # Radial symmetry comes within a small factor of the bound, never below it by much.
    assert all(0.7 * b < r < 3.0 * b for r, b in zip(rms, bound)), out
    correct, links = number(r"correct links: ([0-9.]+)% of (\d+) links", out)
    assert links > 0 and correct > 85.0
    for stage in ("simulate", "detect", "link", "render"):
        assert re.search(rf"{stage} [0-9.]+ s", out), stage
    # Progress goes to stderr, one line per tenth when not on a terminal.
    assert "detect [" in done.stderr


def test_demo_help_lists_options():
    done = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), "--help"],
                          capture_output=True, text=True, timeout=60, check=True)
    for option in ("--particles", "--frames", "--photons", "--background", "--read-noise",
                   "--output", "--mode"):
        assert option in done.stdout


@pytest.mark.parametrize("options, message", [
    (["--window", "4"], "--window must be an odd integer >= 3"),
    (["--mode", "3d", "--size", "32", "32"], "--size takes 1 or 3 values in 3d mode"),
    (["--frames", "1"], "need at least 2 frames"),
    (["--photons", "0"], "--photons, --sigma and --pixel-size must be positive"),
    (["--diffusion", "-1"], "must not be negative"),
    (["--blink-on", "0"], "--blink-on in (0, 1]"),
])
def test_demo_rejects_bad_options(tmp_path, options, message):
    done = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), *options],
                          capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 2 and message in done.stderr


@pytest.mark.parametrize("shape, sigma", [((40, 50), (1.3, 1.3)), ((24, 30, 28), (1.5, 1.2, 1.0))])
def test_expected_image_keeps_the_photons(shape, sigma):
    centres = np.array([[12.3, 20.7, 14.1][: len(shape)], [17.5, 20.2, 11.9][: len(shape)]])
    image = synthetic.expected_image(shape, centres, np.array(sigma), 1000.0, 2.0)
    assert image.shape == shape
    # Spots are drawn out to about 4 sigma, which leaves out less than 1e-4 of their light.
    assert image.sum() == pytest.approx(2000.0 + 2.0 * np.prod(shape), abs=0.2)
    assert image.sum() < 2000.0 + 2.0 * np.prod(shape)
    # The brightest pixel is the one holding the first spot's centre.
    peak = np.unravel_index(np.argmax(image), shape)
    assert peak in {tuple(np.rint(c).astype(int)) for c in centres}


def test_expected_image_drops_light_outside_the_frame():
    # Row 0 starts at -0.5: half of a spot centred there falls outside the frame.
    image = synthetic.expected_image((20, 20), np.array([[-0.5, 10.0]]), np.array([1.3, 1.3]),
                                     1000.0, 0.0)
    assert image.sum() == pytest.approx(500.0, rel=1e-4)


@pytest.mark.parametrize("nd", [2, 3])
def test_bound_approaches_the_continuous_limit(nd):
    # Wide spots, no background: the bound tends to sqrt(sigma^2 + 1/12) / sqrt(N) per axis.
    sigma, photons = 4.0, 10000.0
    centres = np.full((3, nd), 30.0) + np.array([[0.0], [0.25], [0.5]])
    bound = synthetic.cramer_rao_bound(centres, np.full(nd, sigma), photons, 1e-9, 0.0)
    assert bound.shape == (3, nd)
    np.testing.assert_allclose(bound, math.sqrt(sigma**2 + 1 / 12) / math.sqrt(photons),
                               rtol=0.01)


def test_bound_grows_with_background_and_read_noise():
    centre = np.array([[10.2, 10.4]])
    sigma = np.array([1.3, 1.3])
    clean = synthetic.cramer_rao_bound(centre, sigma, 1000.0, 0.0 + 1e-9, 0.0)
    background = synthetic.cramer_rao_bound(centre, sigma, 1000.0, 10.0, 0.0)
    noisy = synthetic.cramer_rao_bound(centre, sigma, 1000.0, 10.0, 3.0)
    assert np.all(clean < background) and np.all(background < noisy)
    # Four times the photons on no background halves the bound.
    np.testing.assert_allclose(synthetic.cramer_rao_bound(centre, sigma, 4000.0, 1e-9, 0.0),
                               clean / 2, rtol=1e-6)


def movie_of(positions, visible):
    positions = np.asarray(positions, dtype=np.float64)
    return synthetic.SimulatedMovie(np.zeros((len(positions), 8, 8), np.float32), positions,
                           np.asarray(visible, dtype=bool), np.array([1.3, 1.3]), 1000.0, 10.0,
                           0.0)


def test_match_detections_pairs_mutual_nearest_within_radius():
    import demo

    movie = movie_of([[[10.0, 10.0], [20.0, 20.0], [30.0, 30.0]]], [[True, True, False]])
    points = [np.array([[10.4, 10.0, 1.0],    # particle 0
                        [10.0, 10.9, 1.0],    # also nearest to particle 0, but farther
                        [21.0, 21.2, 1.0],    # 1.56 from particle 1: beyond the radius
                        [30.0, 30.0, 1.0]],   # on particle 2, which is dark
                       dtype=np.float32)]
    (owner,) = demo.match_detections(points, movie, radius=1.5)
    np.testing.assert_array_equal(owner, [0, -1, -1, -1])


def test_track_bookkeeping_and_link_accuracy():
    import demo

    # Two particles over four frames; particle 1 is missed in frame 2, and frame 3 lists the
    # two in the other order.
    points = [np.array([[10.0, 10.0, 100.0], [20.0, 20.0, 100.0]], np.float32),
              np.array([[11.0, 10.0, 100.0], [20.0, 21.0, 100.0]], np.float32),
              np.array([[12.0, 10.0, 100.0]], np.float32),
              np.array([[20.0, 22.0, 100.0], [13.0, 10.0, 100.0]], np.float32)]
    matched = [np.array([0, 1]), np.array([0, 1]), np.array([0]), np.array([1, 0])]
    matrix, ends = demo.link(points, 1.5, 1, 3.0)
    assert ends.dtype == np.int32
    frame_of, row_of = demo.track_frames(matrix, ends, points)
    for i in range(len(matrix)):
        np.testing.assert_array_equal(matrix[i], points[frame_of[i]][row_of[i]])
    np.testing.assert_array_equal(frame_of, [0, 1, 2, 3, 0, 1, 3])
    np.testing.assert_array_equal(row_of, [0, 0, 0, 1, 1, 1, 0])
    speed = demo.speeds_along_tracks(matrix, ends, frame_of)
    np.testing.assert_allclose(speed, [1, 1, 1, 1, 1, 0.5, 0.5])
    # Links made: 0-0-0-0 (three correct) and 1-1 plus the gap link 1 -> 1 over frame 2.
    assert demo.link_accuracy(ends, frame_of, row_of, matched, max_skip=1) == (5, 5, 5, 5)
    # Ground truth that swaps frame 3's owners: both links into frame 3 turn wrong, and the
    # true links into frame 3 are the ones not made.
    swapped = matched[:3] + [np.array([0, 1])]
    assert demo.link_accuracy(ends, frame_of, row_of, swapped, max_skip=1) == (3, 5, 3, 5)
