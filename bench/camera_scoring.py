"""Scores of a detection or track table against the truth of a camera-like movie (frames or
volumes: the truth's positions say which): detection F1 within a match radius, RMS error of the
matched positions, rows on whole pixels and on hot pixels, and the share of correct links. Shared
by bench_camera.py, bench_camera_variants.py and their peers' runs."""

from dataclasses import dataclass

import numpy as np
from scipy.optimize import linear_sum_assignment

MATCH_RADIUS = 1.5  # pixels: a detection this close to a particle (optimal pairing) finds it
HOT_RADIUS = 1.0  # pixels: a row this close to a stuck pixel, and matching no particle, sits on it


@dataclass
class Score:
    f1: float
    precision: float
    recall: float
    rms: float
    whole_pixel: float  # share of rows with both coordinates whole
    hot_pixel: float  # share of rows on a stuck pixel
    rows: int
    correct_links: float  # share of links joining two detections of one particle (nan: no tracks)


def positions(table, movie):
    """The table's positions as (rows, nd) float64, in the truth's axis order."""
    columns = ["z", "y", "x"][3 - movie.positions.shape[2]:]
    return table[columns].to_numpy(np.float64)


def match(table, movie):
    """Index of the particle each row finds (-1: none, -2: a particle outside the frame or not
    emitting, which counts neither way), and the counts of true particles."""
    owner = np.full(len(table), -1, np.int64)
    frames = table["frame"].to_numpy()
    points = positions(table, movie)
    truths = 0
    for t in range(len(movie.frames)):
        rows = np.flatnonzero(frames == t)
        visible = np.flatnonzero(movie.visible[t])
        truths += len(visible)
        if not len(rows):
            continue
        everyone = np.arange(movie.positions.shape[1])
        d = np.linalg.norm(points[rows, None] - movie.positions[t][None], axis=2)
        cost = np.where(d <= MATCH_RADIUS, d, 1e6)
        r, c = linear_sum_assignment(cost)
        good = cost[r, c] <= MATCH_RADIUS
        found = everyone[c[good]]
        owner[rows[r[good]]] = np.where(np.isin(found, visible), found, -2)
    return owner, truths


def errors(table, movie):
    """Position error (px) of each row that finds a particle, by (frame, particle)."""
    owner, _ = match(table, movie)
    frames = table["frame"].to_numpy()
    points = positions(table, movie)
    ok = owner >= 0
    found = np.linalg.norm(points[ok] - movie.positions[frames[ok], owner[ok]], axis=1)
    return dict(zip(zip(frames[ok].tolist(), owner[ok].tolist()), found.tolist()))


def common_rms(first, second, movie):
    """RMS errors (px) of two tables over the particle positions both find, and how many."""
    a, b = errors(first, movie), errors(second, movie)
    both = sorted(a.keys() & b.keys())
    if not both:
        return float("nan"), float("nan"), 0
    return (float(np.sqrt(np.mean([a[k] ** 2 for k in both]))),
            float(np.sqrt(np.mean([b[k] ** 2 for k in both]))), len(both))


def score(table, movie):
    owner, truths = match(table, movie)
    hits = int(np.sum(owner >= 0))
    counted = int(np.sum(owner != -2))
    precision = hits / max(counted, 1)
    recall = hits / max(truths, 1)
    f1 = 2 * precision * recall / max(precision + recall, 1e-12)
    frames = table["frame"].to_numpy()
    points = positions(table, movie)
    ok = owner >= 0
    errors = points[ok] - movie.positions[frames[ok], owner[ok]]
    rms = float(np.sqrt(np.mean(np.sum(errors**2, axis=1)))) if ok.any() else float("nan")
    whole = np.all(points == np.round(points), axis=1)
    near_hot = np.zeros(len(table), bool)
    for hot in movie.hot_pixels:
        near_hot |= np.linalg.norm(points - hot, axis=1) <= HOT_RADIUS
    links = float("nan")
    if "particle" in table:
        order = np.lexsort((frames, table["particle"].to_numpy()))
        particle = table["particle"].to_numpy()[order]
        joined = particle[1:] == particle[:-1]
        o = owner[order]
        correct = joined & (o[1:] >= 0) & (o[1:] == o[:-1])
        links = float(np.sum(correct) / max(np.sum(joined), 1))
    rows = max(len(table), 1)
    return Score(f1, precision, recall, rms, float(np.sum(whole)) / rows,
                 float(np.sum(near_hot & (owner < 0))) / rows, len(table), links)


def trackpy_best(movie, tp, diameter, separation, max_distance, memory):
    """trackpy's detections at the mass cut that gives the best F1 against the truth (searched
    over 200 quantiles of its masses, up to the 99.8th), linked: (cut, tracks, score)."""
    # trackpy takes no missing pixels: they become the frame's median, as a user would make them.
    frames = [np.nan_to_num(f, nan=float(np.nanmedian(f))) if np.isnan(f).any() else f
              for f in movie.frames.astype(np.float64)]
    features = tp.batch(frames, diameter, separation=separation, processes=1)
    best = None
    # The whole range of cuts: on a dim movie nearly all of trackpy's features are noise, and its
    # best cut keeps only the top percent or two of them.
    for cut in np.unique(np.quantile(features["mass"], np.linspace(0.0, 0.998, 200))):
        s = score(features[features.mass >= cut], movie)
        if best is None or s.f1 > best[1].f1:
            best = (cut, s)
    cut = best[0]
    kept = features[features.mass >= cut].reset_index(drop=True)
    linked = tp.link(kept, max_distance, memory=memory)
    return cut, linked, score(linked, movie)
