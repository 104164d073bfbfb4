"""The default detector on camera-like data: false spots on pure noise and on textured
backgrounds, hot pixels, sub-pixel positions for every spot, NaN pixels, dark particles, the camera
model's units, the filters, and the argument faults of the detection calls."""

import numpy as np
import pandas as pd
import pytest

import quorlin_track as qt
from quorlin_track.synthetic import camera_movie, expected_image


def test_pure_camera_noise_gives_no_spots_and_hot_pixels_are_set_apart():
    # 2**20 pixels of shot and read noise on uneven light, with 15 stuck pixels in every frame.
    movie = camera_movie("camera", seed=5, frames=4, particles=0, shape=(512, 512), illumination=0.6)
    stuck = qt.batch(movie.frames)
    assert len(stuck) <= 1 and stuck.attrs["dropped"] == {"nan_pixels": 0, "hot_pixels": 0}
    assert stuck.attrs["stuck_pixels"] == sorted(movie.hot_pixels.tolist())
    # Frame by frame, the single-pixel test sets them apart, those on the edge too.
    spots = qt.batch(movie.frames, stuck_pixels=None)
    assert len(spots) <= 1
    assert spots.attrs["dropped"] == {"nan_pixels": 0, "hot_pixels": 4 * len(movie.hot_pixels)}
    # Kept, a stuck pixel on the edge is still no spot: no fit on the camera's pixels holds it.
    interior = np.all((movie.hot_pixels > 0) & (movie.hot_pixels < 511), axis=1).sum()
    kept = qt.batch(movie.frames, keep_hot_pixels=True)
    on_hot = {(round(y), round(x)) for y, x in kept[["y", "x"]].to_numpy()}
    assert len(kept) == 4 * interior and on_hot <= set(map(tuple, movie.hot_pixels.tolist()))


def test_stuck_pixels_found_over_the_movie_are_painted_over():
    # A faint stuck pixel on a bump of the background passes the single-pixel test in some frames;
    # a bright pair lies on the path of a particle.
    rng = np.random.default_rng(1)
    yy, xx = np.mgrid[:48, :48]
    bump = 8.0 * np.exp(-((yy - 20) ** 2 + (xx - 14) ** 2) / (2 * 2.5**2))
    path = np.stack([np.full(24, 32.4), 4.0 + 1.7 * np.arange(24)], axis=1)
    light = [expected_image((48, 48), path[t:t + 1], np.array([1.3, 1.3]), 1500.0, 20.0) + bump for t in range(24)]
    movie = (100.0 + 2.0 * rng.poisson(light) + rng.normal(0, 3, (24, 48, 48))).astype(np.float32)
    movie[:, 20, 14] += 60
    movie[:, 32, 30] += 300
    movie[:, 33, 31] += 150
    movie[:, 8, 40] = 100.0  # dead
    np.testing.assert_array_equal(qt.find_stuck_pixels(movie), [[8, 40], [20, 14], [32, 30], [33, 31]])
    on_faint = [((s.y - 20).abs() < 1.5) & ((s.x - 14).abs() < 1.5) for s in map(qt.locate, movie)]
    assert sum(near.any() for near in on_faint) >= 1
    spots = qt.batch(movie)
    assert len(spots) == 24 and (spots.y - 32.4).abs().max() < 1.5
    error = np.hypot(spots.y - path[spots.frame, 0], spots.x - path[spots.frame, 1])
    assert error.max() < 0.2
    again = pd.concat([qt.locate(f, stuck_pixels=spots.attrs["stuck_pixels"], frame_number=t)
                       for t, f in enumerate(movie)], ignore_index=True)
    pd.testing.assert_frame_equal(spots, again.astype(spots.dtypes.to_dict()))


@pytest.mark.parametrize("contrast", [1.0, 3.0])  # cells 1.5-4 or 4.5-12 times the background
def test_textured_background_does_not_become_spots(contrast):
    movie = camera_movie("textured", seed=3, frames=4, particles=0, cell_contrast=contrast)
    spots = qt.batch(movie.frames)
    raw = qt.batch(movie.frames, detector="peaks")
    assert len(spots) <= 0.005 * len(raw)


def test_threshold_falls_in_a_frame_of_faint_spots_with_few_false_ones():
    movie = camera_movie("dim", seed=11, frames=3, photons=250.0)
    spots = qt.batch(movie.frames)
    truth = movie.positions[spots.frame.to_numpy()]
    found = np.linalg.norm(spots[["y", "x"]].to_numpy()[:, None] - truth, axis=2).min(axis=1) <= 1.5
    faint = spots.snr.to_numpy() < qt._native.SPOT_SIGMAS
    assert faint.mean() >= 0.15 and spots.snr.min() >= 4.0
    # Noise peaks that reach the fallen threshold hold little light in their ball: set apart.
    assert np.mean(~found) <= 0.01


def test_faint_spot_ringed_by_bright_ones_is_no_texture():
    # Six bright neighbours fill the ring the texture check looks at; their light is no texture.
    rng = np.random.default_rng(5)
    centre = np.array([[32.3, 31.6]])
    ring = 32 + 8 * np.stack([np.cos(a := np.linspace(0, 2 * np.pi, 6, endpoint=False)), np.sin(a)], axis=1)
    mean = (expected_image((64, 64), centre, np.array([1.3, 1.3]), 300.0, 20.0)
            + expected_image((64, 64), ring, np.array([1.3, 1.3]), 6000.0, 0.0))
    for _ in range(3):
        spots = qt.locate((100 + 2.0 * rng.poisson(mean)).astype(np.float32))
        assert len(spots) == 7
        assert np.linalg.norm(spots[["y", "x"]].to_numpy() - centre, axis=1).min() < 0.5


@pytest.mark.parametrize("rows, cols, value", [
    ([40, 100, 160, 220, 30, 90, 150, 210], [200, 30, 120, 70, 20, 140, 230, 180], 0),  # dead pixels
    ([0, 255, 90, 170], [60, 180, 0, 255], 4000),  # hot pixels on the edge, where no peak is looked for
])
def test_dead_pixels_and_hot_pixels_on_the_edge_do_not_hold_the_threshold_up(rows, cols, value):
    # Their band-passed dips (a dead pixel's own, a hot pixel's halo) lie far deeper than noise's.
    movie = camera_movie("dim", seed=11, frames=3, photons=250.0)
    clean = qt.batch(movie.frames)
    movie.frames[:, rows, cols] = value
    spots = qt.batch(movie.frames)
    faint = np.sum(spots.snr.to_numpy() < qt._native.SPOT_SIGMAS)
    assert faint >= 0.9 * np.sum(clean.snr.to_numpy() < qt._native.SPOT_SIGMAS) > 0


def test_threshold_stays_in_frames_of_bright_spots():
    # Many bright spots would pay for a few noise peaks under the share of all peaks; the threshold
    # falls only for peaks below it that outnumber the dips.
    movie = camera_movie("camera", seed=4, frames=6, photons=5000.0)
    assert qt.batch(movie.frames).snr.min() >= qt._native.SPOT_SIGMAS


def spot_frame(rng, centres, photons=2000.0, background=20.0, gain=2.0, offset=100.0, shape=(64, 64)):
    mean = expected_image(shape, np.asarray(centres, float), np.array([1.3, 1.3]), photons, background)
    return (offset + gain * rng.poisson(mean)).astype(np.float32)


@pytest.mark.parametrize("missing", [np.nan, np.inf, -np.inf])
def test_every_spot_sub_pixel_and_nan_pixels_never_give_nan_positions(missing):
    rng = np.random.default_rng(4)
    # A crowded pair, a spot at the edge, a spot with a NaN in its window, one alone, one on a NaN.
    centres = [[20.3, 20.2], [21.1, 23.6], [1.4, 40.7], [45.2, 12.6], [30.5, 45.3], [50.6, 50.3]]
    frame = spot_frame(rng, centres)
    frame[45, 16] = missing
    frame[51, 50] = missing
    spots = qt.locate(frame, gain=2.0, offset=100.0)
    assert spots.attrs["dropped"] == {"nan_pixels": 1, "hot_pixels": 0}
    positions = spots[["y", "x"]].to_numpy()
    assert np.isfinite(positions).all() and not np.any(np.all(positions == np.round(positions), axis=1))
    distance = np.linalg.norm(positions[:, None] - np.array(centres[:5])[None], axis=2)
    assert len(spots) == 5 and (distance.min(axis=0) < 0.3).all()
    alone = np.argmin(distance[:, 4])
    assert spots.located_by[alone] == "radial_symmetry"
    assert (spots.located_by.drop(index=alone) == "gaussian").all()


def test_spots_beside_a_stuck_pixel_a_dead_column_and_at_the_edge_are_fitted_on_the_camera_pixels():
    rng = np.random.default_rng(0)
    centres = np.array([[20.1, 30.4], [1.3, 12.6], [44.4, 51.6]])
    frame = spot_frame(rng, centres)
    frame[23, 31] = 3000.0  # its smoothed mark moves the first spot's band-passed peak a pixel up
    frame[:, 50] = np.nan
    spots = qt.locate(frame)
    assert spots.attrs["dropped"]["hot_pixels"] == 1 and (spots.located_by == "gaussian").all()
    error = np.linalg.norm(spots[["y", "x"]].to_numpy()[:, None] - centres[None], axis=2).min(axis=0)
    assert (error < 0.2).all()


def noise_free(centres, shape=(64, 64)):
    return expected_image(shape, np.asarray(centres, float), np.array([1.3, 1.3]), 2000.0, 20.0).astype(np.float32)


@pytest.mark.parametrize("centre, stuck, located_by, bound", [
    ((30.3, 30.6), (30, 35), "radial_symmetry", 0.002),  # the stuck pixel's band-passed mark taken out
    ((30.3, 30.6), (27, 26), "radial_symmetry", 0.002),
    ((3.3, 30.6), None, "radial_symmetry", 0.02),  # the window reaches the edge: its mirror image is far
    ((2.3, 30.6), None, "gaussian", 0.002),  # the window is cut by the edge: fitted on the camera pixels
])
def test_spots_beside_a_stuck_pixel_and_at_the_edge_keep_the_band_passed_window(centre, stuck, located_by, bound):
    frame = noise_free([centre])
    if stuck is not None:
        frame[stuck] = 3000.0
    spots = qt.locate(frame)
    assert len(spots) == 1 and spots.located_by[0] == located_by
    assert np.hypot(spots.y[0] - centre[0], spots.x[0] - centre[1]) < bound


@pytest.mark.parametrize("separation", [4.2, 5.0, 5.4])  # crowded, then alone with a neighbour in reach
def test_a_neighbours_light_is_taken_out_of_the_window(separation):
    # The band-pass's square darkens the side facing a neighbour and its light brightens it: both
    # pulled each spot by 0.09-0.12 pixels.
    centres = np.array([[30.3, 30.6], [30.3, 30.6 + separation], [12.4, 50.7]])
    spots = qt.locate(noise_free(centres))
    error = np.linalg.norm(spots[["y", "x"]].to_numpy()[:, None] - centres[None], axis=2).min(axis=0)
    assert len(spots) == 3 and (error < 0.05).all()


def test_a_lone_wide_spot_whose_peak_pixel_is_off_centre_is_located_from_a_moved_window():
    # Out-of-focus spots (width 2.6 against the default diameter's 1.3) have flat, noisy tops: the
    # peak pixel lies over a pixel from the centre for about one in twelve, whose window then held
    # no centre; the window moved onto the pixel nearest the centre holds it.
    rng = np.random.default_rng(5)
    grid = np.array([(y, x) for y in range(16, 112, 24) for x in range(16, 112, 24)], float)
    errors, how = [], []
    for _ in range(12):
        centres = grid + rng.uniform(-0.5, 0.5, grid.shape)
        mean = expected_image((128, 128), centres, np.full(2, 2.6), 1200.0, 15.0)
        spots = qt.locate(rng.poisson(mean).astype(np.float32) * 2 + 100)
        found = spots[["y", "x"]].to_numpy()
        apart = np.linalg.norm(found[:, None] - found[None], axis=2) + 99 * np.eye(len(found))
        lone = apart.min(axis=1) > 5  # no second peak of the same spot beside it
        errors += np.linalg.norm(found[lone, None] - centres[None], axis=2).min(axis=1).tolist()
        how += spots.located_by[lone].tolist()
    assert len(errors) >= 150 and set(how) == {"radial_symmetry"}
    assert np.sum(np.array(errors) > 1.0) <= 6 and np.sqrt(np.mean(np.square(errors))) < 0.55


def test_lone_spots_wider_than_the_diameter_suits_are_located_on_the_camera_pixels():
    # Spots of width 2.2 at the default diameter: the band-pass's square takes in much of their
    # light, and their band-passed windows gave 0.19 px RMS; a window as wide as they are, on the
    # camera's pixels less the background, gives 0.12.
    rng = np.random.default_rng(11)
    grid = np.array([(y, x) for y in range(16, 112, 24) for x in range(16, 112, 24)], float)
    errors = []
    for _ in range(10):
        centres = grid + rng.uniform(-0.5, 0.5, grid.shape)
        mean = expected_image((128, 128), centres, np.full(2, 2.2), 2000.0, 15.0)
        spots = qt.locate(rng.poisson(mean).astype(np.float32) * 2 + 100)
        assert set(spots.located_by) == {"radial_symmetry"}
        errors += np.linalg.norm(spots[["y", "x"]].to_numpy()[:, None] - centres[None], axis=2).min(axis=1).tolist()
    assert len(errors) == 160 and np.sqrt(np.mean(np.square(errors))) < 0.15


def test_particles_on_the_edge_are_found_and_those_beyond_it_are_not():
    # Particles entering and leaving: those within half a pixel of an edge (a corner one too) peak
    # on the edge's pixels; those 1.6-2.5 px beyond it light the edge too, and give no row.
    rng = np.random.default_rng(3)
    inside = np.array([[0.2, 20.3], [40.7, 0.1], [62.8, 30.4], [25.5, 62.6], [0.3, 0.4], [30.2, 30.7]])
    beyond = np.array([[-1.6, 45.0], [50.0, -2.0], [65.5, 10.0]])
    mean = expected_image((64, 64), np.vstack([inside, beyond]), np.array([1.3, 1.3]), 2000.0, 20.0)
    found, rows = 0, 0
    for _ in range(10):
        spots = qt.locate((100 + 2 * rng.poisson(mean)).astype(np.float32))
        error = np.linalg.norm(spots[["y", "x"]].to_numpy()[:, None] - inside[None], axis=2)
        assert (error.min(axis=1) < 0.3).all()  # every row is one of the particles in the frame
        found += int((error.min(axis=0) < 0.3).sum())
        rows += len(spots)
    assert found == rows >= 55


def test_invert_finds_dark_particles():
    rng = np.random.default_rng(8)
    centres = [[12.4, 30.2], [40.7, 18.9], [33.1, 50.6]]
    bright = spot_frame(rng, centres).astype(np.uint16)
    dark = np.iinfo(np.uint16).max - bright
    found = qt.locate(dark, invert=True)
    expected = qt.locate(bright)
    pd.testing.assert_frame_equal(found.drop(columns="background"), expected.drop(columns="background"))
    assert len(found) == 3


def test_camera_model_gives_photons():
    rng = np.random.default_rng(2)
    frame = spot_frame(rng, [[16.3, 16.7], [16.2, 47.4], [47.8, 16.1], [47.5, 47.6]], photons=3000.0,
                       background=20.0)
    spots = qt.locate(frame, gain=2.0, offset=100.0, read_noise=3.0)
    assert len(spots) == 4
    np.testing.assert_allclose(spots.background, 20.0, atol=2.5)
    # The disk of radius 3 holds 93 % of a 1.3-pixel spot's light.
    np.testing.assert_allclose(spots.mass, 0.93 * 3000.0, rtol=0.08)
    np.testing.assert_allclose(spots["size"], 1.3, atol=0.2)
    fitted = qt.locate(frame, method="mle", gain=2.0, offset=100.0, read_noise=3.0)
    assert (fitted.located_by == "mle").all()
    np.testing.assert_allclose(fitted.photons, 3000.0, rtol=0.06)
    np.testing.assert_allclose(fitted.background, 20.0, atol=1.5)


def test_filters_drop_exactly_the_rows_below_them():
    movie = camera_movie("dim", seed=6, frames=3, shape=(96, 96), particles=40)
    every = qt.batch(movie.frames)
    kept = qt.batch(movie.frames, min_mass=float(every.mass.median()), min_snr=8.0)
    expected = every[(every.mass >= every.mass.median()) & (every.snr >= 8.0)]
    assert 0 < len(kept) < len(every)
    pd.testing.assert_frame_equal(kept, expected.reset_index(drop=True))


@pytest.mark.parametrize("call, error, message", [
    (lambda f: qt.locate(f, 7), TypeError, r"locate\(\) takes 1 positional argument \(frame\).*diameter="),
    (lambda f: qt.batch(f[None], threshold=float("nan")), ValueError, "threshold must be a number, got nan"),
    (lambda f: qt.locate(f, min_distance=float("nan")), ValueError, "min_distance must be a number >= 0"),
    (lambda f: qt.locate(f, min_distance=-1.0), ValueError, "min_distance must be a number >= 0"),
    (lambda f: qt.locate(f, diameter=6), ValueError, "diameter must be an odd integer >= 3"),
    (lambda f: qt.locate(f, gain=0.0), ValueError, "gain must be a finite number > 0"),
    (lambda f: qt.locate(f, invert=1), TypeError, "invert must be True or False"),
    (lambda f: qt.locate(f, stuck_pixels=[[3, 16]]), ValueError, "stuck_pixels must lie in the 16 x 16 frame"),
    (lambda f: qt.locate(f, stuck_pixels=[1.5, 2]), ValueError, r"stuck_pixels must be an \(n, 2\) array"),
    (lambda f: qt.batch(f[None], stuck_pixels="yes"), ValueError, "stuck_pixels must be 'auto', None or"),
    (lambda f: qt.locate(f, detector="peaks", stuck_pixels=[[1, 1]]), ValueError,
     "stuck_pixels applies to detector='spots'"),
    (lambda f: qt.refine(f, pd.DataFrame({"y": [5.0], "x": [5.0]}), sigma=1e-300), ValueError,
     "argument 'sigma': must be None or a finite number of at least 0.3"),
])
def test_bad_arguments_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call(np.zeros((16, 16), np.float32))


def test_auto_threshold_of_an_uncopyable_view_is_a_memory_error():
    with pytest.raises(MemoryError):
        qt.auto_threshold(np.broadcast_to(np.float32(5), (100000, 100000)))


@pytest.mark.parametrize("dtype", [">u2", ">f4", ">f2", np.longdouble])
def test_batch_reads_any_byte_order_and_float_width(dtype):
    movie = camera_movie("dim", seed=1, frames=2, shape=(48, 48), particles=6).frames
    expected = qt.batch(movie.astype(dtype).astype(np.float32))
    pd.testing.assert_frame_equal(qt.batch(movie.astype(dtype)), expected)


def test_volumes_get_the_spot_measures_and_rules():
    rng = np.random.default_rng(9)
    z, y, x = np.mgrid[0:24, 0:40, 0:40]
    volume = rng.normal(100.0, 3.0, z.shape).astype(np.float32)
    centres = [(8.3, 12.6, 14.2), (15.6, 28.1, 25.4), (12.2, 30.4, 8.7)]
    for cz, cy, cx in centres:
        volume += 300.0 * np.exp(-((z - cz) ** 2 + (y - cy) ** 2 + (x - cx) ** 2) / (2 * 1.3**2))
    volume[4, 5, 33] = 1000.0  # a hot voxel
    volume[14, 30, 9] = np.nan  # in the third spot's window: the localizer gives it no position
    spots = qt.locate(volume)
    assert spots.attrs["dropped"] == {"nan_pixels": 1, "hot_pixels": 1}
    np.testing.assert_allclose(spots[["z", "y", "x"]].to_numpy(), centres[:2], atol=0.15)
    # The ball of radius 3 holds 85 % of a 1.3-voxel spot's light.
    np.testing.assert_allclose(spots.mass, 0.85 * 300.0 * (2 * np.pi) ** 1.5 * 1.3**3, rtol=0.08)
    np.testing.assert_allclose(spots.background, 100.0, atol=1.0)
    np.testing.assert_allclose(spots["size"], 1.3, atol=0.2)
    np.testing.assert_allclose(spots.snr, (spots.intensity - 100.0) / 3.0, rtol=0.1)
    assert len(qt.locate(volume, keep_hot_pixels=True)) == 3
    assert len(qt.locate(volume, min_snr=float(spots.snr.max()))) == 1


def test_a_stuck_pixel_down_the_planes_of_volumes_is_painted_over():
    # One camera takes every plane: its stuck pixel is a line through the volume, which the
    # single-voxel test cannot set apart.
    rng = np.random.default_rng(2)
    z, y, x = np.mgrid[0:12, 0:32, 0:32]
    spot = 300.0 * np.exp(-((z - 6.2) ** 2 + (y - 14.6) ** 2 + (x - 20.3) ** 2) / (2 * 1.3**2))
    movie = (rng.normal(100.0, 3.0, (6, *z.shape)) + spot).astype(np.float32)
    movie[:, :, 20, 9] += 200.0
    assert (qt.batch(movie, stuck_pixels=None).y.round() == 20).sum() >= 6
    spots = qt.batch(movie)
    assert spots.attrs["stuck_pixels"] == [[20, 9]]
    np.testing.assert_allclose(spots[["z", "y", "x"]].to_numpy(), np.tile([6.2, 14.6, 20.3], (6, 1)), atol=0.15)
    located = qt.locate(movie[2], stuck_pixels=[(20, 9)])
    pd.testing.assert_frame_equal(located[["z", "y", "x"]], spots[spots.frame == 2][["z", "y", "x"]]
                                  .reset_index(drop=True))
