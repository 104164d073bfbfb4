"""A plain, step-by-step reference of the track renderers for the tests: the octant walk and the
voxel walk run cell by cell over their whole length (no clipping), every value in float32."""

import math

import numpy as np

F32 = np.float32
ONE = F32(1.0)


def round_half_away(v):
    v = float(v)
    if math.isnan(v) or math.isinf(v) or abs(v) >= 2.0**23:
        return v
    return math.copysign(math.floor(abs(v) + 0.5), v)


def saturate(v, bits):
    """Truncate toward zero, NaN to 0, clamp to the signed range of `bits` bits."""
    v = float(v)
    if math.isnan(v):
        return 0
    lo, hi = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
    if v >= 2.0 ** (bits - 1):
        return hi
    if v <= -(2.0 ** (bits - 1)):
        return lo
    return int(v)


def sat_u64(v):
    v = float(v)
    if not v > 0:
        return 0
    if v >= 2.0**64:
        return 2**64 - 1
    return int(v)


def grid(extent, pixel_size, dim):
    p = F32(pixel_size)
    margin = F32(0.999) * p
    sizes, lower, upper = [], [], []
    for a in range(dim):
        lo, hi = F32(extent[2 * a]), F32(extent[2 * a + 1])
        n = sat_u64(((hi - lo) + margin) / p)
        sizes.append(n)
        lower.append(lo)
        upper.append(lo + p * F32(n))
    return sizes, lower, upper


def walk_2d(start, end):
    """The octant walk: start included, end excluded, error term starting at DW - DU."""
    (a0, b0), (a1, b1) = start, end
    dx, dy, o = a1 - a0, b1 - b0, 0
    if dy < 0:
        dx, dy, o = -dx, -dy, o + 4
    if dx < 0:
        dx, dy, o = dy, -dx, o + 2
    if dx < dy:
        o += 1
    to_octant = [
        lambda x, y: (x, y), lambda x, y: (y, x), lambda x, y: (y, -x), lambda x, y: (-x, y),
        lambda x, y: (-x, -y), lambda x, y: (-y, -x), lambda x, y: (-y, x), lambda x, y: (x, -y),
    ][o]
    back = [
        lambda u, w: (u, w), lambda u, w: (w, u), lambda u, w: (-w, u), lambda u, w: (-u, w),
        lambda u, w: (-u, -w), lambda u, w: (-w, -u), lambda u, w: (w, -u), lambda u, w: (u, -w),
    ][o]
    u, w = to_octant(a0, b0)
    u1, w1 = to_octant(a1, b1)
    du, dw = u1 - u, w1 - w
    err = dw - du
    cells = []
    while u < u1:
        cells.append(back(u, w))
        if err >= 0:
            w += 1
            err -= du
        err += dw
        u += 1
    return cells


def walk_3d(start, end):
    """The voxel walk: both ends included, n + 1 cells (differences taken exactly)."""
    d = [e - s for s, e in zip(start, end)]
    lengths = [abs(v) for v in d]
    signs = [(v > 0) - (v < 0) for v in d]
    n = max(lengths)
    err = [n // 2] * 3
    cell = list(start)
    cells = []
    for _ in range(n + 1):
        cells.append(tuple(cell))
        for a in range(3):
            err[a] -= lengths[a]
            if err[a] < 0:
                err[a] += n
                cell[a] += signs[a]
    return cells


def render(matrix, ends, extent, pixel_size, dim, quantities, trimmed):
    """Renders like the module: dim 2 or 3, quantities 1 (intensity) or 2 (intensity, value);
    trimmed hit lists or (3-D, one quantity) plain sums. Returns (images..., counts, extent)."""
    with np.errstate(all="ignore"):
        return _render(np.asarray(matrix), ends, extent, pixel_size, dim, quantities, trimmed)


def _render(matrix, ends, extent, pixel_size, dim, quantities, trimmed):
    sizes, lower, upper = grid(extent, pixel_size, dim)
    bits = 64 if dim == 2 else 32
    walk = walk_2d if dim == 2 else walk_3d
    shape = tuple(sizes)
    hits = {}
    sums = np.zeros(shape, np.float32)
    counts = np.zeros(shape, np.uint32)

    def add(cell, hit):
        if any(math.isnan(h) for h in hit):
            return
        if any(c < 0 or c >= n for c, n in zip(cell, sizes)):
            return
        if trimmed:
            hits.setdefault(cell, []).append(hit)
        else:
            sums[cell] = hit[0] + sums[cell]
            counts[cell] += 1

    start = 0
    tracks = []
    for end in ends:
        end = int(end)
        tracks.append([matrix[i] for i in range(start, end) if i < len(matrix)])
        start = end
    for rows in tracks:
        points = []
        for row in rows:
            cell = []
            for a in range(dim):
                scaled = (F32(row[a]) - lower[a]) / (upper[a] - lower[a]) * F32(sizes[a])
                cell.append(None if math.isnan(scaled) else saturate(round_half_away(scaled), bits))
            hit = tuple(F32(row[dim + q]) for q in range(quantities))
            cell = None if None in cell else tuple(cell)
            if cell is not None and points and points[-1][0] == cell:
                continue
            points.append((cell, hit))
        for (c0, h0), (c1, h1) in zip(points, points[1:]):
            if c0 is None or c1 is None:
                continue
            cells = walk(c0, c1)
            d = F32(len(cells) + 1) - ONE
            for j, cell in enumerate(cells):
                t = F32(0.0) if d == 0 else F32(j) / d
                add(cell, tuple(t * b + (ONE - t) * a for a, b in zip(h0, h1)))
        if points and points[-1][0] is not None:
            add(points[-1][0], points[-1][1])

    out_extent = []
    for a in range(dim):
        out_extent += [float(lower[a]), float(upper[a])]
    if not trimmed:
        return sums, counts, tuple(out_extent)
    images = [np.zeros(shape, np.float32) for _ in range(quantities)]
    for cell, cell_hits in hits.items():
        counts[cell] = len(cell_hits)
        kept = sorted(cell_hits, key=lambda h: h[0])[len(cell_hits) // 4 :]
        total, weighted = F32(-0.0), F32(-0.0)
        for h in kept:
            total = total + h[0]
            if quantities == 2:
                weighted = weighted + h[0] * h[1]
        images[0][cell] = total
        if quantities == 2:
            images[1][cell] = weighted / total if total > 0 else F32(0.0)
    return (*images, counts, tuple(out_extent))


def tracks(*points_per_track, columns):
    """A track matrix and its end indices from one list of rows per track."""
    rows = [row for track in points_per_track for row in track]
    matrix = np.array(rows, np.float32).reshape(-1, columns)
    ends = np.cumsum([len(t) for t in points_per_track]).astype(np.int32)
    return matrix, ends


def hit_cells(counts):
    """The set of cells with at least one hit."""
    return {tuple(int(i) for i in c) for c in np.argwhere(counts)}


def assert_same(result, expected):
    """Bitwise equality of every array (NaN and the sign of zero included) and of the extent."""
    assert len(result) == len(expected)
    for got, want in zip(result[:-1], expected[:-1]):
        assert got.shape == want.shape and got.dtype == want.dtype
        assert np.array_equal(got.view(np.uint32), want.view(np.uint32))
    assert result[-1] == expected[-1]
