"""Maximum-likelihood spot fits: against a plain float64 reference fit, the Cramér–Rao bound
against its closed form, flags at frame edges and on bad pixels, and argument errors."""

import numpy as np
import pandas as pd
import pytest
from scipy.integrate import quad
from scipy.optimize import minimize
from scipy.special import erf

import quorlin_track as qt


def profile(centre, size, sigma):
    """Fraction of a 1-D Gaussian in each of `size` pixels, pixel k spanning [k - 0.5, k + 0.5]."""
    k = np.arange(size)
    scale = np.sqrt(2.0) * sigma
    return 0.5 * (erf((k + 0.5 - centre) / scale) - erf((k - 0.5 - centre) / scale))


def spot_image(shape, y, x, photons, background, sigma):
    return photons * np.outer(profile(y, shape[0], sigma), profile(x, shape[1], sigma)) + background


def negative_loglik(theta, counts):
    y, x, photons, background, sigma = theta
    if photons <= 0 or background <= 0 or sigma <= 0.1:
        return np.inf
    mu = spot_image(counts.shape, y, x, photons, background, sigma)
    return float(np.sum(mu - counts * np.log(mu)))


def reference_fit(counts, start, sigma):
    """The same likelihood maximised by a general-purpose optimiser from the true parameters."""
    if sigma is None:
        objective = lambda p: negative_loglik(p, counts)  # noqa: E731
    else:
        objective = lambda p: negative_loglik((*p, sigma), counts)  # noqa: E731
        start = start[:4]
    best = minimize(objective, start, method="Powell", options={"xtol": 1e-9, "ftol": 1e-14})
    return best.x if sigma is None else np.append(best.x, sigma)


@pytest.mark.parametrize("sigma", [None, 1.3])
def test_fit_matches_reference_fit_on_random_spots(sigma):
    rng = np.random.default_rng(7 if sigma is None else 8)
    window = 7
    for _ in range(8):
        truth = (3.0 + rng.uniform(-0.5, 0.5), 3.0 + rng.uniform(-0.5, 0.5),
                 rng.uniform(300, 5000), rng.uniform(2, 20), rng.uniform(1.0, 1.8))
        counts = rng.poisson(spot_image((window, window), *truth)).astype(np.float64)
        # The spot sits in a larger frame; the window around its nearest pixel is the data.
        frame = np.zeros((20, 20))
        frame[5:12, 9:16] = counts
        spots = pd.DataFrame({"y": [8.0], "x": [12.0], "frame": [4]})
        fit = qt.refine(frame, spots, sigma=sigma if sigma is None else truth[4])
        assert fit.converged[0] and fit.frame[0] == 4
        ours = np.array([fit.y[0] - 5, fit.x[0] - 9, fit.photons[0], fit.background[0],
                         fit.sigma[0]])
        ref = reference_fit(counts, np.array(truth), None if sigma is None else truth[4])
        np.testing.assert_allclose(ours[:2], ref[:2], atol=2e-3)
        np.testing.assert_allclose(ours[2:], ref[2:], rtol=2e-3)
        assert negative_loglik(ours, counts) <= negative_loglik(ref, counts) + 1e-6


def test_fits_without_background_are_bounded_maxima():
    # No background light: the background rests at its lower bound. A fit called converged there
    # is the maximum over the other parameters with it held (nothing a bounded optimiser can
    # improve from the same point), with the gradient pushing against the bound.
    rng = np.random.default_rng(1)
    window, sigma, count = 5, 1.3, 60
    frame = np.zeros((window, window * count))
    for k in range(count):
        frame[:, window * k:window * (k + 1)] = rng.poisson(spot_image(
            (window, window), 2 + rng.uniform(-0.5, 0.5), 2 + rng.uniform(-0.5, 0.5),
            rng.uniform(100, 2000), 0.0, sigma))
    spots = pd.DataFrame({"y": np.full(count, 2.0), "x": 2.0 + window * np.arange(count)})
    fit = qt.refine(frame, spots, window=window, sigma=sigma)
    assert fit.converged.all() and (fit.background < 1.1e-6).sum() > count // 3
    bounds = [(-0.5, window - 0.5)] * 2 + [(1e-3, None), (1e-6, None)]
    for k in range(count):
        counts = frame[:, window * k:window * (k + 1)]
        ours = np.array([fit.y[k], fit.x[k] - window * k, fit.photons[k], fit.background[k]])
        objective = lambda p: negative_loglik((*p, sigma), counts)  # noqa: E731
        best = minimize(objective, ours, method="L-BFGS-B", bounds=bounds)
        assert best.fun >= objective(ours) - 1e-6


def fisher_bound(y, x, photons, background, sigma, size):
    """sqrt of the x entry of the inverse Fisher information (centre, photons, background unknown)
    from central differences of the model."""
    theta = np.array([y, x, photons, background])
    model = lambda t: spot_image((size, size), t[0], t[1], t[2], t[3], sigma).ravel()  # noqa
    jac = []
    for a in range(4):
        step = np.zeros(4)
        step[a] = 1e-6 * max(1.0, abs(theta[a]))
        jac.append((model(theta + step) - model(theta - step)) / (2 * step[a]))
    jac = np.array(jac)
    information = (jac / model(theta)) @ jac.T
    return np.sqrt(np.linalg.inv(information)[1, 1])


@pytest.mark.parametrize("sigma, window, photons, background, offset",
                         [(1.3, 7, 1000.0, 10.0, 0.3), (3.0, 31, 2000.0, 2.0, 0.0),
                          (2.0, 21, 5000.0, 1.0, 0.0)])
def test_uncertainty_is_the_cramer_rao_bound(sigma, window, photons, background, offset):
    # Noise-free data: the likelihood peaks at the truth, where x_err is the bound.
    c = window // 2
    frame = spot_image((window, window), c - offset, c + offset, photons, background, sigma)
    fit = qt.refine(frame, pd.DataFrame({"y": [float(c)], "x": [float(c)]}), window=window,
                    sigma=sigma)
    assert fit.converged[0]
    np.testing.assert_allclose([fit.y[0], fit.x[0]], [c - offset, c + offset], atol=1e-4)
    bound = fisher_bound(c - offset, c + offset, photons, background, sigma, window)
    np.testing.assert_allclose(fit.x_err[0], bound, rtol=1e-4)
    if offset == 0.0 and window >= 6 * sigma:
        # A centred spot in a window of +-5 sigma: the closed form for a Gaussian widened by the
        # pixel, sigma_a^2 = sigma^2 + 1/12, on a flat background.
        sa2 = sigma**2 + 1.0 / 12.0
        tau = 2.0 * np.pi * sa2 * background / photons
        integral = quad(lambda t: np.log(t) / (1.0 + t / tau), 0.0, 1.0)[0]
        closed = np.sqrt(sa2 / photons / (1.0 + integral))
        np.testing.assert_allclose(fit.x_err[0], closed, rtol=1e-3)


def numeric_hessian(f, theta, step=1e-4):
    k = len(theta)
    h = np.zeros((k, k))
    for a in range(k):
        for b in range(k):
            da = np.eye(k)[a] * step * max(1.0, abs(theta[a]))
            db = np.eye(k)[b] * step * max(1.0, abs(theta[b]))
            h[a, b] = (f(theta + da + db) - f(theta + da - db) - f(theta - da + db)
                       + f(theta - da - db)) / (4 * da[a] * db[b])
    return h


@pytest.mark.parametrize("sigma", [None, 1.3])
def test_uncertainty_is_the_curvature_of_the_likelihood_on_noisy_spots(sigma):
    # Faint spots, where the observed and the expected information differ by tens of percent.
    rng = np.random.default_rng(11)
    frame = np.zeros((7, 7 * 12))
    for k in range(12):
        frame[:, 7 * k:7 * k + 7] = rng.poisson(
            spot_image((7, 7), 3 + rng.uniform(-0.5, 0.5), 3 + rng.uniform(-0.5, 0.5), 150.0,
                       10.0, 1.3))
    spots = pd.DataFrame({"y": np.full(12, 3.0), "x": 3.0 + 7.0 * np.arange(12)})
    fit = qt.refine(frame, spots, sigma=sigma)
    checked = 0
    for k in np.flatnonzero(fit.converged):
        counts = frame[:, 7 * k:7 * k + 7]
        theta = np.array([fit.y[k], fit.x[k] - 7 * k, fit.photons[k], fit.background[k],
                          fit.sigma[k]])
        if sigma is None:
            h = numeric_hessian(lambda p: negative_loglik(p, counts), theta)
        else:
            h = numeric_hessian(lambda p: negative_loglik((*p, sigma), counts), theta[:4])
        covariance = np.linalg.inv(h)
        np.testing.assert_allclose([fit.y_err[k], fit.x_err[k]],
                                   np.sqrt(np.diag(covariance)[:2]), rtol=2e-3)
        checked += 1
    assert checked >= 10


def test_flags_edges_and_bad_pixels():
    rng = np.random.default_rng(3)
    frame = rng.poisson(spot_image((40, 40), 1.2, 20.3, 3000.0, 5.0, 1.3)).astype(np.float32)
    frame += rng.poisson(spot_image((40, 40), 20.0, 38.6, 3000.0, 0.0, 1.3)).astype(np.float32)
    frame[30, 5] = np.nan
    spots = pd.DataFrame({
        "y": [1.0, 20.0, 30.0, 29.0, -0.6, 39.0, np.nan, 10.0],
        "x": [20.0, 39.0, 5.0, 3.0, 10.0, 40.2, 10.0, 10.0],
    })
    fit = qt.refine(frame, spots, sigma=1.3)
    # Clipped windows are fitted on their in-frame part.
    assert list(fit.converged[:2]) == [True, True]
    np.testing.assert_allclose([fit.y[0], fit.x[0], fit.y[1], fit.x[1]], [1.2, 20.3, 20.0, 38.6],
                               atol=0.1)
    # A NaN pixel in the window, a centre off the frame or not finite: flagged, position kept.
    for i in (2, 3, 4, 5, 6):
        assert not fit.converged[i]
        assert np.isnan(fit.photons[i]) and np.isnan(fit.x_err[i])
        assert (fit.x[i], fit.y[i]) == (spots.x[i], spots.y[i]) or np.isnan(spots.y[i])
    # Background only: at most a faint noise bump, whose position the errors call uncertain.
    assert not fit.converged[7] or (fit.photons[7] < 60 and min(fit.x_err[7], fit.y_err[7]) > 0.5)
    # A frame narrower than the window, and an empty table.
    small = qt.refine(frame[18:23, 18:23], pd.DataFrame({"y": [2.0], "x": [2.0]}), window=9)
    assert small.photons.notna()[0]
    empty = qt.refine(frame, pd.DataFrame({"y": [], "x": []}))
    assert list(empty.columns) == ["y", "x", "photons", "background", "sigma", "x_err", "y_err",
                                   "converged"] and len(empty) == 0


def test_camera_counts_and_zero_or_negative_values():
    rng = np.random.default_rng(5)
    photons = rng.poisson(spot_image((15, 15), 7.2, 6.9, 800.0, 1.0, 1.3)).astype(np.float64)
    photons[0, :] = 0.0
    spots = pd.DataFrame({"y": [7.0], "x": [7.0]})
    reference = qt.refine(photons, spots, window=15)
    counts = (photons * 2.0 + 100.0).astype(np.uint16)
    for layout in (counts, counts.astype(">u2"), np.asfortranarray(counts)):
        pd.testing.assert_frame_equal(qt.refine(layout, spots, window=15, gain=2.0, offset=100.0),
                                      reference)
    # Values below the offset count as zero photons.
    below = counts.astype(np.float32)
    below[0, :] = 90.0
    pd.testing.assert_frame_equal(qt.refine(below, spots, window=15, gain=2.0, offset=100.0),
                                  reference)
    # A window of zeros cannot be fitted, and says so.
    zero = qt.refine(np.zeros((9, 9)), pd.DataFrame({"y": [4.0], "x": [4.0]}))
    assert not zero.converged[0]


@pytest.mark.parametrize("kwargs, error, name", [
    ({"gain": 0.0}, ValueError, "gain"),
    ({"gain": -2.0}, ValueError, "gain"),
    ({"gain": float("nan")}, ValueError, "gain"),
    ({"offset": float("inf")}, ValueError, "offset"),
    ({"window": 6}, ValueError, "window"),
    ({"window": 33}, ValueError, "window"),
    ({"window": 7.0}, TypeError, "window"),
    ({"sigma": -1.0}, ValueError, "sigma"),
    ({"method": "lsq"}, ValueError, "method"),
    ({"frame": np.zeros((2, 8, 8))}, ValueError, "frame"),
    ({"frame": np.zeros((8, 8), complex)}, TypeError, "frame"),
    ({"spots": pd.DataFrame({"y": [1.0]})}, ValueError, "spots"),
    ({"spots": np.zeros((3, 2))}, TypeError, "spots"),
])
def test_bad_arguments_name_the_argument(kwargs, error, name):
    args = {"frame": np.zeros((8, 8)), "spots": pd.DataFrame({"y": [4.0], "x": [4.0]})}
    args.update(kwargs)
    with pytest.raises(error, match=f"argument '{name}'"):
        qt.refine(**args)


def test_threads_share_the_fits_and_get_the_same_result():
    # The fits run without the interpreter lock: calls from several threads at once must neither
    # disturb each other nor differ from one call alone.
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(9)
    centres = np.array([[y, x] for y in range(8, 120, 12) for x in range(8, 120, 12)], float)
    centres += rng.uniform(-0.5, 0.5, centres.shape)
    mean = np.full((128, 128), 10.0)
    for y, x in centres:
        mean += spot_image((128, 128), y, x, 1000.0, 0.0, 1.3)
    frame = rng.poisson(mean).astype(np.float32)
    spots = pd.DataFrame({"y": np.rint(centres[:, 0]), "x": np.rint(centres[:, 1])})
    alone = qt.refine(frame, spots)
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: qt.refine(frame, spots), range(8)))
    for result in results:
        pd.testing.assert_frame_equal(result, alone)
    assert alone.converged.all()


def test_locate_with_bandpass_and_mle_is_detect_and_refine():
    """locate's named step: detection on the band-passed frame, the fit on the raw one."""
    rng = np.random.default_rng(7)
    frame = rng.poisson(10.0, size=(64, 64)).astype(np.float32)
    for y, x in ((15.3, 20.6), (40.1, 44.8), (50.7, 12.2)):
        yy, xx = np.mgrid[:64, :64]
        frame += rng.poisson(600 * np.exp(-((yy - y) ** 2 + (xx - x) ** 2) / (2 * 1.3 ** 2))
                             / (2 * np.pi * 1.3 ** 2)).astype(np.float32)
    located = qt.locate(frame, method="mle")
    expected = qt.detect_and_refine(frame)
    assert len(located) == 3
    np.testing.assert_array_equal(located[["y", "x", "photons", "x_err"]].to_numpy(),
                                  expected[["y", "x", "photons", "x_err"]].to_numpy())
