"""Linking points into tracks: rs_link_points (2-D) and rs_link_points_3d."""

import re

import numpy as np
import pytest
from cpp_build import driver, run_driver
from reliability_support import SANITIZED
from scipy.optimize import linear_sum_assignment

import quorlin

F32 = np.float32


def frame(*rows, width=3):
    return np.array(rows, dtype=F32).reshape(-1, width)


def link2(frames, max_distance=5.0, max_skip=0, ratio=10.0):
    return quorlin.rs_link_points(frames, max_distance, max_skip, ratio)


def tracks_of(result):
    matrix, ends = result
    starts = np.concatenate([[0], ends[:-1]]).astype(np.int64)
    return [matrix[s:e].tolist() for s, e in zip(starts, ends.astype(np.int64))]


# ---------------------------------------------------------------- reference on the dense matrix

def neighbourhood_cell(v, max_distance):
    q = np.floor(F32(v) / F32(max_distance))
    if not q > 0:
        return 0
    return 2**64 - 1 if q >= 2.0**64 else int(q)


def reference_link(frames, max_distance, max_skip, ratio=None):
    """Straightforward linker: one dense f x (g + f) matrix per frame pair, solved by scipy."""
    dims = 2 if ratio is not None else 3
    pts = [np.asarray(f, dtype=F32)[:, : dims + 1].reshape(-1, dims + 1) for f in frames]
    first = np.concatenate([[0], np.cumsum([len(p) for p in pts])]).astype(np.int64)
    store = np.concatenate(pts) if pts else np.zeros((0, dims + 1), F32)
    md = F32(max_distance)
    s_cost = int(F32(1e6) * md)
    forbidden = 10 * s_cost
    n = len(pts)
    proposals = []
    for s in range(1, min(max_skip + 1, n - 1) + 1):
        for a in range(n - s):
            p, q = pts[a], pts[a + s]
            f, g = len(p), len(q)
            if f == 0 or g == 0:
                continue
            with np.errstate(all="ignore"):
                d2 = F32(0)
                for axis in range(dims):
                    d = p[:, None, axis] - q[None, :, axis]
                    d2 = d * d if axis == 0 else d2 + d * d
                feasible = d2 <= md * md
                if ratio is not None:
                    pi, qi, r = p[:, None, dims], q[None, :, dims], F32(ratio)
                    feasible &= ~(qi > r * pi) & ~(pi > r * qi)
                for axis in range(dims):
                    cp = [neighbourhood_cell(v, md) for v in p[:, axis]]
                    cq = [neighbourhood_cell(v, md) for v in q[:, axis]]
                    feasible &= np.array([[(j - i + 1) % 2**64 <= 2 for j in cq] for i in cp], bool)
                cost = np.where(feasible, np.sqrt(d2) * F32(1e6), 0).astype(np.int64)
            dense = np.full((f, g + f), forbidden, dtype=np.int64)
            dense[:, :g] = np.where(feasible, cost, forbidden)
            dense[np.arange(f), g + np.arange(f)] = s_cost
            rows, cols = linear_sum_assignment(dense.astype(np.float64))
            proposals += [(first[a] + r, first[a + s] + c) for r, c in sorted(zip(rows, cols)) if c < g]
    pred, succ = {}, {}
    for i, j in proposals:
        if i not in succ and j not in pred:
            succ[i], pred[j] = j, i
    rows, ends = [], []
    for start in range(len(store)):
        if start in pred or start not in succ:
            continue
        k = start
        while k is not None:
            rows.append(store[k])
            k = succ.get(k)
        ends.append(len(rows))
    matrix = np.array(rows, dtype=F32).reshape(-1, dims + 1)
    return matrix, np.array(ends, dtype=np.uint32)


def random_movie(rng, frames, particles, dims, spread=20.0, step=1.0, clutter=5):
    """Brownian particles (some blinking) around the origin, plus clutter points, rows shuffled."""
    pos = rng.uniform(-spread, spread, (particles, dims))
    intensity = rng.uniform(50, 200, particles)
    movie = []
    for _ in range(frames):
        pos = pos + rng.normal(0, step, pos.shape)
        visible = rng.random(particles) > 0.2
        extra = rng.uniform(-spread, spread, (clutter, dims))
        rows = np.vstack([np.column_stack([pos[visible], intensity[visible] * rng.uniform(0.8, 1.25, visible.sum())]),
                          np.column_stack([extra, rng.uniform(50, 200, clutter)])])
        movie.append(rows[rng.permutation(len(rows))].astype(F32))
    return movie


@pytest.mark.parametrize("seed, max_skip", [(1, 0), (2, 1), (3, 2), (4, 5)])
def test_matches_dense_reference_2d(seed, max_skip):
    rng = np.random.default_rng(seed)
    movie = random_movie(rng, 8, 30, 2)
    matrix, ends = link2(movie, 3.0, max_skip, 1.5)
    ref_matrix, ref_ends = reference_link(movie, 3.0, max_skip, 1.5)
    assert len(ends) > 5
    np.testing.assert_array_equal(ends, ref_ends)
    assert matrix.tobytes() == ref_matrix.tobytes()


@pytest.mark.parametrize("seed, max_skip", [(11, 0), (12, 1), (13, 2)])
def test_matches_dense_reference_3d(seed, max_skip):
    rng = np.random.default_rng(seed)
    movie = random_movie(rng, 7, 40, 3, spread=10.0)
    matrix, ends = quorlin.rs_link_points_3d(movie, 2.5, max_skip)
    ref_matrix, ref_ends = reference_link(movie, 2.5, max_skip)
    assert len(ends) > 5
    np.testing.assert_array_equal(ends, ref_ends)
    assert matrix.tobytes() == ref_matrix.tobytes()


def test_dense_crowd_matches_reference():
    # Many sources compete for the same targets: large connected groups in every frame pair.
    rng = np.random.default_rng(5)
    movie = [np.column_stack([rng.uniform(0, 12, (60, 2)), rng.uniform(1, 2, 60)]).astype(F32)
             for _ in range(4)]
    matrix, ends = link2(movie, 2.0, 1, 3.0)
    ref_matrix, ref_ends = reference_link(movie, 2.0, 1, 3.0)
    np.testing.assert_array_equal(ends, ref_ends)
    assert matrix.tobytes() == ref_matrix.tobytes()


# ---------------------------------------------------------------- result format and track order

@pytest.mark.parametrize("frames", [[], [frame((0, 0, 1))], [frame(), frame()],
                                    [np.zeros((0, 2), F32), np.zeros((0, 7), F32)]])
def test_no_tracks(frames):
    m2, e2 = link2(frames)
    assert (m2.shape, m2.dtype, e2.shape, e2.dtype) == ((0, 3), F32, (0,), np.uint32)
    frames3 = [np.zeros((len(f), 4), F32) if len(f) else f for f in frames]
    m3, e3 = quorlin.rs_link_points_3d(frames3, 5.0, 0)
    assert (m3.shape, m3.dtype, e3.shape, e3.dtype) == ((0, 4), F32, (0,), np.uint32)


def test_track_order_and_dropped_points():
    f0 = frame((100, 0, 1), (0, 0, 2), (500, 500, 3))  # the last one never links
    f1 = frame((0.5, 0, 2), (100.5, 0, 1))
    f2 = frame((1, 0, 2), (50, 50, 4))
    f3 = frame((1.5, 0, 2), (50.5, 50, 4))
    assert tracks_of(link2([f0, f1, f2, f3])) == [
        [[100, 0, 1], [100.5, 0, 1]],
        [[0, 0, 2], [0.5, 0, 2], [1, 0, 2], [1.5, 0, 2]],
        [[50, 50, 4], [50.5, 50, 4]],
    ]
    matrix, ends = link2([f0, f1, f2, f3])
    assert ends.tolist() == [2, 6, 8] and matrix.flags.c_contiguous and matrix.flags.writeable


def test_values_bit_exact_and_nan_intensity_carried():
    rng = np.random.default_rng(3)
    a = rng.uniform(-1, 1, (5, 3)).astype(F32)
    a[:, 2] = rng.uniform(1, 1.5, 5)
    a[2, 2] = np.nan
    b = a + F32(1e-3)
    b[2, 2] = np.nan
    matrix, ends = link2([a, b], 0.1, 0, 2.0)
    assert ends.tolist() == [2, 4, 6, 8, 10]
    expected = np.stack([a, b], axis=1).reshape(-1, 3)
    assert matrix.tobytes() == expected.tobytes()


def test_skipped_frame_rows_are_consecutive():
    frames = [frame(), frame(), frame(), frame((1, 1, 1)), frame(), frame((1.5, 1, 1))]
    assert tracks_of(link2(frames, max_skip=1)) == [[[1, 1, 1], [1.5, 1, 1]]]
    assert link2(frames, max_skip=0)[1].tolist() == []


def test_missing_frame_splits_track_without_skip():
    frames = [frame((k * 0.5, 0, 1)) if k != 5 else frame() for k in range(9)]
    assert link2(frames, max_skip=0)[1].tolist() == [5, 8]
    assert link2(frames, max_skip=1)[1].tolist() == [8]


# ---------------------------------------------------------------- gaps and their precedence

def test_shorter_gap_takes_precedence():
    # Gap 1 links P->Q->R; the gap-2 proposal P->R is dropped.
    frames = [frame((0, 0, 1)), frame((1, 0, 1)), frame((1.5, 0, 1))]
    assert tracks_of(link2(frames, max_skip=1)) == [[[0, 0, 1], [1, 0, 1], [1.5, 0, 1]]]


def test_source_linked_by_shorter_gap_blocks_its_gap_two_choice():
    # Gap 1 links P1 -> Q. Gap 2 pairs P1 with R (the cheaper choice), which is dropped since P1
    # already has a successor; R stays unlinked although P2 could have reached it.
    frames = [frame((0, 0, 1), (1.8, 0, 1)), frame((-1.5, 0, 1)), frame((0.6, 0, 1))]
    assert tracks_of(link2(frames, 2.0, 1)) == [[[0, 0, 1], [-1.5, 0, 1]]]


def test_max_skip_beyond_frames():
    rng = np.random.default_rng(9)
    movie = random_movie(rng, 5, 10, 2, spread=8.0, clutter=2)
    expected = link2(movie, 3.0, 3, 2.0)
    for max_skip in (4, 100, 2**64 - 1):
        result = link2(movie, 3.0, max_skip, 2.0)
        assert result[0].tobytes() == expected[0].tobytes()
        assert result[1].tolist() == expected[1].tolist()


def test_long_gaps_over_many_frames():
    # 1000 frames with unlimited max_skip: gaps of 300, 600 and 900 frames are proposed; the
    # shorter ones are recorded first, so A -> B -> C, and the gap-900 proposal A -> C is dropped.
    frames = [frame() for _ in range(1000)]
    frames[0], frames[300], frames[900] = frame((0, 0, 1)), frame((1, 0, 1)), frame((0.5, 0, 1))
    frames[999] = frame((50, 50, 1))
    assert tracks_of(link2(frames, 5.0, 2**64 - 1)) == [[[0, 0, 1], [1, 0, 1], [0.5, 0, 1]]]
    assert link2(frames, 5.0, 298)[1].tolist() == []
    assert tracks_of(link2(frames, 5.0, 299)) == [[[0, 0, 1], [1, 0, 1]]]


# ---------------------------------------------------------------- gates and costs

@pytest.mark.parametrize("target, links", [((3, 4), True), ((3, 4.001), False), ((-3, -4), True)])
def test_distance_gate_at_equality(target, links):
    # At exactly max_distance the link costs exactly the no-link price; ties are resolved in
    # favour of the link.
    matrix, ends = link2([frame((0, 0, 1)), frame((*target, 1))], 5.0)
    assert len(ends) == (1 if links else 0)


@pytest.mark.parametrize("i0, i1, ratio, links", [(10, 20, 2.0, True), (20, 10, 2.0, True),
                                                  (10, 20.5, 2.0, False), (20.5, 10, 2.0, False),
                                                  (10, 10, 0.99, False), (10, np.nan, 2.0, True)])
def test_intensity_ratio_gate(i0, i1, ratio, links):
    matrix, ends = link2([frame((0, 0, i0)), frame((1, 0, i1))], 5.0, 0, ratio)
    assert len(ends) == (1 if links else 0)


def test_nan_coordinates_never_link():
    frames = [frame((np.nan, 0, 1), (0, np.nan, 1), (5, 5, 1)), frame((0, 0, 1), (np.nan, 0, 1), (5, 5.5, 1))]
    assert tracks_of(link2(frames)) == [[[5, 5, 1], [5, 5.5, 1]]]


def test_negative_coordinates():
    # Rows of points far apart at negative coordinates, each moving a little: every one links to
    # its own partner.
    xs = -1000.0 + 20.0 * np.arange(30)
    a = frame(*[(x, -3 * x, 1) for x in xs])
    b = frame(*[(x + 0.5, -3 * x - 0.5, 1) for x in xs[::-1]])
    tracks = tracks_of(link2([a, b], 2.0))
    assert tracks == [[[x, -3 * x, 1], [x + 0.5, -3 * x - 0.5, 1]] for x in xs]


def test_vast_coordinates_match_reference():
    # Coordinates far beyond max_distance * 2^63 on some points: the search falls back to range
    # searches, and the neighbourhood cells saturate; links must still be exactly the reference's.
    rng = np.random.default_rng(21)
    movie = random_movie(rng, 4, 15, 2, spread=5.0)
    vast = [frame((1e30, 5, 1), (-1e30, -1e30, 1), (3e38, -3e38, 1)),
            frame((1e30, 5.5, 1), (-1e30, -1e30, 1), (3e38, -3e38, 1))]
    movie = [np.vstack([m, v]) for m, v in zip(movie, vast + vast)]
    matrix, ends = link2(movie, 2.0, 1, 2.0)
    ref_matrix, ref_ends = reference_link(movie, 2.0, 1, 2.0)
    np.testing.assert_array_equal(ends, ref_ends)
    assert matrix.tobytes() == ref_matrix.tobytes()
    rows = matrix.tolist()
    assert all([float(F32(v)) for v in row] in rows for row in [(1e30, 5, 1), (1e30, 5.5, 1), (3e38, -3e38, 1)])


def test_global_not_greedy():
    # s1-t1 = 1, s1-t2 = 2, s2-t1 = 2, s2-t2 = 5: linking s1-t2 and s2-t1 (4e6) beats s1-t1 (6e6).
    frames = [frame((0, 0, 1), (3, 0, 1)), frame((1, 0, 1), (-2, 0, 1))]
    assert tracks_of(link2(frames)) == [[[0, 0, 1], [-2, 0, 1]], [[3, 0, 1], [1, 0, 1]]]


def test_closer_source_wins_the_only_target():
    frames = [frame((0, 0, 1), (3, 0, 1)), frame((1, 0, 1))]
    assert tracks_of(link2(frames)) == [[[0, 0, 1], [1, 0, 1]]]


def test_3d_z_separation_and_no_intensity_gate():
    f0 = frame((0, 0, 0, 1), (10, 10, 10, 1), width=4)
    f1 = frame((0, 0, 2.5, 1), (10, 10, 11, 1000), width=4)
    matrix, ends = quorlin.rs_link_points_3d([f0, f1], 2.0, 0)
    assert tracks_of((matrix, ends)) == [[[10, 10, 10, 1], [10, 10, 11, 1000]]]


# ---------------------------------------------------------------- arguments and decisions

def test_strided_frames_equal_contiguous():
    rng = np.random.default_rng(4)
    movie = random_movie(rng, 4, 12, 2, spread=6.0)
    wide = [np.asfortranarray(np.column_stack([m, np.ones(len(m), F32)])[::-1]) for m in movie]
    expected = link2([w[::-1].copy() for w in wide], 2.0, 1, 2.0)
    result = link2([w[::-1] for w in wide], 2.0, 1, 2.0)
    assert result[0].tobytes() == expected[0].tobytes() and result[1].tolist() == expected[1].tolist()
    assert link2(tuple(movie), 2.0, 1, 2.0)[1].tolist() == link2(movie, 2.0, 1, 2.0)[1].tolist()


def test_keywords_and_signature():
    frames = [frame((0, 0, 1)), frame((1, 0, 1))]
    by_kw = quorlin.rs_link_points(max_intensity_ratio=2.0, max_skip=0, points_list=frames, max_distance=5.0)
    assert by_kw[1].tolist() == [2]
    assert quorlin.rs_link_points_3d(max_skip=0, max_distance=5.0, points_list=[])[0].shape == (0, 4)
    with pytest.raises(TypeError):
        quorlin.rs_link_points_3d([], 5.0, 0, 2.0)
    with pytest.raises(TypeError):
        quorlin.rs_link_points([], 5.0, 0)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: link2("abc"), TypeError, "argument 'points_list': Can't extract `str` to `Vec`"),
    (lambda: link2(5), TypeError, "argument 'points_list': 'int' object cannot be converted to 'Sequence'"),
    (lambda: link2([np.zeros((2, 3))]), TypeError, "argument 'points_list': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: quorlin.rs_link_points([], 5.0, 2.0, 1.0), TypeError, "argument 'max_skip': "),
    (lambda: quorlin.rs_link_points([], "x", 0, 1.0), TypeError, "argument 'max_distance': "),
    (lambda: quorlin.rs_link_points_3d([], 5.0, -1), OverflowError, "negative"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc, match=re.escape(message)):
        call()


@pytest.mark.parametrize("max_distance", [0.0, -1.0, np.nan, np.inf, -np.inf, 9e-7, 1e-30, 9.3e11, 1e30])
@pytest.mark.parametrize("dims", [2, 3])
def test_max_distance_out_of_range(max_distance, dims):
    # Also on empty input: the parameter itself is wrong.
    call = link2 if dims == 2 else lambda f, md: quorlin.rs_link_points_3d(f, md, 0)
    with pytest.raises(ValueError, match=r"^max_distance must be at least 0\.000001 and at most about 9\.2e11, got "):
        call([], max_distance)


@pytest.mark.parametrize("max_distance", [1e-6, 9.2e11])
def test_max_distance_range_ends_accepted(max_distance):
    frames = [frame((0, 0, 1)), frame((0, 0, 1))]
    assert link2(frames, max_distance)[1].tolist() == [2]


def test_too_few_columns():
    ok = [frame((0, 0, 1)), np.zeros((0, 2), F32)]
    assert link2(ok)[0].shape == (0, 3)
    with pytest.raises(ValueError, match=re.escape(
            "points_list[2]: a frame with points needs at least 3 columns (x, y, intensity), got 2")):
        link2(ok + [np.zeros((1, 2), F32)])
    assert quorlin.rs_link_points_3d([np.zeros((0, 3), F32)], 5.0, 0)[0].shape == (0, 4)
    with pytest.raises(ValueError, match=re.escape(
            "points_list[0]: a frame with points needs at least 4 columns (x, y, z, intensity), got 3")):
        quorlin.rs_link_points_3d([np.zeros((1, 3), F32)], 5.0, 0)


def test_end_indices_beyond_32_bits_raise():
    exe = driver("end_indices_driver")
    assert run_driver(exe, "2 3 4").split() == ["2", "5", "9"]
    assert run_driver(exe, f"{2**32 - 3} 2").split() == [str(2**32 - 3), str(2**32 - 1)]
    out = run_driver(exe, f"{2**31} {2**31 - 1} 2")
    assert out.startswith("OverflowError: the tracks hold 4294967297 rows or more")


@pytest.mark.skipif(SANITIZED, reason="memory refusals are checked on the regular build")
def test_working_memory_beyond_the_available_raises():
    # The driver reports a capped available memory: a component too large for it, and a frame
    # pair whose feasible pairs alone exceed it, are refused up front with MemoryError.
    exe = driver("link_memory_driver")
    assert run_driver(exe, "0 600").split() == ["links", "600"]
    assert run_driver(exe, "1000000 600").strip() == (
        "MemoryError: not enough memory to link frame 0 to frame 1: a component of 600 sources and "
        "600 targets needs 2904000 bytes of working memory, 1000000 bytes available")
    assert run_driver(exe, "16000000 2000").strip() == (
        "MemoryError: not enough memory to link frame 0 to frame 1: more than 444444 feasible point "
        "pairs need more working memory than the 16000000 bytes available")


def pair_total(result):
    """Total cost of the links of a two-frame result, in millionths, plus S per unlinked source."""
    matrix, ends = result
    starts = np.concatenate([[0], ends[:-1]]).astype(np.int64)
    d = matrix[starts + 1, :2] - matrix[starts, :2]
    costs = np.trunc(np.sqrt(d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) * F32(1e6)).astype(np.int64)
    return int(costs.sum()), len(ends)


@pytest.mark.parametrize("kind", ["random", "lattice", "identical"])
def test_dense_components_are_optimal_with_most_links(kind):
    # Two frames inside one disc of max_distance: every pair feasible, one dense component. scipy on
    # the matrix with the tie rule folded in gives the smallest total and, with it, most links.
    rng = np.random.default_rng(3)
    n, md = 120, 4.0
    frames = []
    for _ in range(2):
        if kind == "random":
            pos = rng.uniform(0, 2.5, (n, 2))
        elif kind == "lattice":
            pos = rng.integers(0, 3, (n, 2)) * 0.5
        else:
            pos = np.ones((n, 2))
        frames.append(np.column_stack([pos, np.ones(n)]).astype(F32))
    result = link2(frames, md, 0, 2.0)
    total, made = pair_total(result)
    s_cost, scale = int(F32(1e6) * F32(md)), n + 1
    d = frames[0][:, None, :2] - frames[1][None, :, :2]
    cost = np.trunc(np.sqrt(d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) * F32(1e6)).astype(np.int64)
    matrix = np.full((n, 2 * n), 10.0 * scale * s_cost)
    matrix[:, :n] = cost * scale
    matrix[np.arange(n), n + np.arange(n)] = s_cost * scale + 1
    rows, cols = linear_sum_assignment(matrix)
    best = int(matrix[rows, cols].sum())
    assert (total + (n - made) * s_cost) * scale + (n - made) == best
    if kind == "random":  # distinct costs: the optimum is unique, so the tracks equal the reference
        ref_matrix, _ = reference_link(frames, md, 0, 2.0)
        assert result[0].tobytes() == ref_matrix.tobytes()
