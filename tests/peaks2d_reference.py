"""Straightforward NumPy/Python definitions of 2-D detection and localization, in float32, used
by the tests as references for rs_detect_peaks."""

import numpy as np
from scipy import ndimage

import quorlin

f32 = np.float32

# Neighbours before the pixel in raster order win only when greater; later ones also on a tie.
EARLIER = [(-1, -1), (-1, 0), (-1, 1), (0, -1)]
LATER = [(0, 1), (1, -1), (1, 0), (1, 1)]


def scales(shape, extent):
    e = [f32(x) for x in extent]
    r, c = shape
    return (e[1] - e[0]) / (f32(r) - f32(1)), e[0], (e[3] - e[2]) / (f32(c) - f32(1)), e[2]


def local_maxima(frame, threshold):
    """(rows, cols) of interior pixels passing the threshold and the tie-ruled 3x3 test, in raster
    order."""
    r, c = frame.shape
    if r < 3 or c < 3:
        return np.zeros(0, int), np.zeros(0, int)
    v = frame[1:-1, 1:-1]
    ok = ~(f32(threshold) > v)
    for di, dj in EARLIER + LATER:
        n = frame[1 + di : r - 1 + di, 1 + dj : c - 1 + dj]
        ok &= ~(n > v) if (di, dj) in EARLIER else (n < v)
    rows, cols = np.nonzero(ok)
    return rows + 1, cols + 1


def maxima_distinct(frame):
    """True when the candidate maxima at any threshold carry distinct values, so the
    brightest-first order is fully defined."""
    rows, cols = local_maxima(frame, -np.inf)
    values = frame[rows, cols]
    return np.unique(values).size == values.size


def thin_all_pairs(positions, min_distance):
    """Indices kept by the greedy walk that compares each peak with every kept one."""
    md2 = f32(min_distance) * f32(min_distance)
    kept = []
    for k, p in enumerate(positions):
        if kept:
            d = p[None, :] - positions[kept]
            d2 = d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]
            if np.any(md2 > d2):
                continue
        kept.append(k)
    return kept


def detect(frame, extent, threshold, min_distance):
    """List of (row, col, position float32[2], intensity) brightest first and thinned. Needs
    distinct intensities among the maxima for a defined order."""
    rows, cols = local_maxima(frame, threshold)
    if rows.size == 0:
        return []
    s0, e0, s1, e1 = scales(frame.shape, extent)
    pos = np.stack([rows.astype(f32) * s0 + e0, cols.astype(f32) * s1 + e1], axis=1).astype(f32)
    inten = frame[rows, cols]
    order = np.argsort(-inten, kind="stable")
    rows, cols, pos, inten = rows[order], cols[order], pos[order], inten[order]
    kept = thin_all_pairs(pos, min_distance)
    return [(int(rows[k]), int(cols[k]), pos[k].copy(), inten[k]) for k in kept]


def positive_maxima_count(window):
    """Pixels > 0 on plateaus (8-connected, equal value) that have no greater neighbour."""
    count = 0
    eight = np.ones((3, 3), bool)
    for value in np.unique(window[~np.isnan(window)]):
        if not value > 0:
            continue
        labels, n = ndimage.label(window == value, structure=eight)
        for k in range(1, n + 1):
            part = labels == k
            around = ndimage.binary_dilation(part, structure=eight)
            if not np.any(window[around] > value):
                count += int(part.sum())
    return count


def gaussian_fit(window):
    """Five Gauss-Newton steps of a unit Gaussian centre on the peak-normalised window."""
    values = window[~np.isnan(window)]
    peak = values.max() if values.size else f32(-np.inf)
    if not peak > 0:
        return None
    r, c = window.shape
    y = (np.arange(r, dtype=f32) - f32(r - 1) * f32(0.5))[:, None]
    x = (np.arange(c, dtype=f32) - f32(c - 1) * f32(0.5))[None, :]
    mu_y = mu_x = f32(0)
    for _ in range(5):
        dy, dx = y - mu_y, x - mu_x
        g = np.exp(f32(-0.5) * (dx * dx) - f32(0.5) * (dy * dy)).astype(f32)
        residual = window / peak - g
        jy, jx = dy * g, dx * g
        syy, sxx, sxy = (np.sum(a * b, dtype=f32) for a, b in ((jy, jy), (jx, jx), (jy, jx)))
        syr, sxr = np.sum(jy * residual, dtype=f32), np.sum(jx * residual, dtype=f32)
        det = syy * sxx - sxy * sxy
        if abs(det) < f32(1e-10):
            return None
        mu_y = f32(mu_y + (sxx * syr - sxr * sxy) / det)
        mu_x = f32(mu_x + (sxr * syy - sxy * syr) / det)
    return mu_y, mu_x


def radial_symmetry(window):
    try:
        d0, d1 = quorlin.rs_radial_symmetry_2d(np.ascontiguousarray(window))
    except ValueError:
        return None
    return f32(d0), f32(d1)


def centroid(window, half):
    """Intensity centroid from the window centre, summed in raster order."""
    total = si = sj = f32(0)
    for i in range(window.shape[0]):
        for j in range(window.shape[1]):
            v = window[i, j]
            total = f32(total + v)
            si = f32(si + v * f32(i))
            sj = f32(sj + v * f32(j))
    if total == 0:
        return f32(0), f32(0)
    return si / total - f32(half), sj / total - f32(half)


def localize(frame, peaks, extent, w, method, budget):
    """The per-peak loop: border drop, crowding, estimator, runaway guard, position, budget."""
    r, c = frame.shape
    half = (w - 1) // 2
    e = [f32(x) for x in extent]
    s0 = (e[1] - e[0]) / f32(r - 1)
    s1 = (e[3] - e[2]) / f32(c - 1)
    estimator = radial_symmetry if method == "radial_symmetry" else gaussian_fit
    out = []
    for row, col, pos, inten in peaks:
        if budget is not None and len(out) >= budget:
            break
        if row < half or col < half or row + half >= r or col + half >= c:
            continue
        window = frame[row - half : row + half + 1, col - half : col + half + 1]
        if positive_maxima_count(window) > 2:
            out.append((row, col, pos, inten))
            continue
        d = estimator(window)
        if d is None:
            continue
        if abs(d[0]) > f32(w) * f32(0.5) or abs(d[1]) > f32(w) * f32(0.5):
            d = centroid(window, half)
        p = np.array([(f32(row) + d[0]) * s0 + e[0], (f32(col) + d[1]) * s1 + e[2]], f32)
        out.append((row, col, p, inten))
    return out


def as_arrays(peaks):
    pos = np.array([p[2] for p in peaks], f32).reshape(-1, 2)
    inten = np.array([p[3] for p in peaks], f32)
    return pos, inten
