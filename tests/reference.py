"""Straightforward NumPy float32 references of the estimators, for comparisons in the tests."""

import numpy as np

f32 = np.float32


def seq_sum(values):
    """Left-to-right float32 sum starting at 0, in raster order."""
    total = f32(0.0)
    for v in np.asarray(values, dtype=np.float32).ravel():
        total = f32(total + v)
    return total


def radial_symmetry_2d(window):
    v = np.asarray(window, dtype=np.float32)
    R, C = v.shape
    if R < 2 or C < 2:
        return None
    with np.errstate(all="ignore"):
        r_off = f32(0.5) - (f32(R) - f32(1.0)) * f32(0.5)
        c_off = f32(0.5) - (f32(C) - f32(1.0)) * f32(0.5)
        r = (np.arange(R - 1, dtype=np.float32) + r_off)[:, None] * np.ones((1, C - 1), np.float32)
        c = np.ones((R - 1, 1), np.float32) * (np.arange(C - 1, dtype=np.float32) + c_off)[None, :]
        d1 = v[1:, :-1] - v[:-1, 1:]
        d2 = v[:-1, :-1] - v[1:, 1:]

        def smooth(d):
            padded = np.zeros((R + 1, C + 1), np.float32)
            padded[1:-1, 1:-1] = d
            s = np.zeros_like(d)
            for di in (-1, 0, 1):
                for dj in (-1, 0, 1):
                    s = s + padded[1 + di : R + di, 1 + dj : C + dj]
            return s / f32(9.0)

        s1, s2 = smooth(d1), smooth(d2)
        m = -(s1 + s2) / (s1 - s2)
        alt = (d1 + d2) / (d1 - d2)
        m = np.where(np.isnan(m), alt, m)
        m = np.where(np.isnan(m), f32(0.0), m)
        m = np.where(np.isinf(m), f32(1000000.0), m).astype(np.float32)
        b = c - m * r
        g = s1 * s1 + s2 * s2
        total = seq_sum(g)
        divisor = f32(1.0) if total == 0 else total
        r_bar = seq_sum(g * r) / divisor
        c_bar = seq_sum(g * c) / divisor
        dist = np.sqrt((r - r_bar) * (r - r_bar) + (c - c_bar) * (c - c_bar))
        dist = np.where(dist < f32(0.0001), f32(0.0001), dist).astype(np.float32)
        w = g / dist
        k = w / (m * m + f32(1.0))
        km = k * m
        sk, skmm, skm = seq_sum(k), seq_sum(km * m), seq_sum(km)
        skmb, skb = seq_sum(km * b), seq_sum(k * b)
        det = skm * skm - skmm * sk
        if det == 0:
            return None
        return ((skmb * sk - skb * skm) / det, (skmb * skm - skb * skmm) / det)
