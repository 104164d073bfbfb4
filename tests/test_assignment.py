"""The exact assignment solvers, driven through a small C++ program, against brute force and scipy."""

import subprocess

import numpy as np
import pytest
from cpp_build import driver
from scipy.optimize import linear_sum_assignment


@pytest.fixture(scope="module")
def solve():
    """Returns a function solving a list of problems with the driver.

    A problem is (no_link, entries, columns) with no_link a list of per-row costs and entries a
    list of dicts {column: cost}, one per row; the result per problem is (total, columns) with -1
    for a row left unassigned. `mode` "raw" runs the sparse solver on the problem as given; "dense",
    "sparse" and "component" solve it as one frame pair of linking (no-link cost of row 0 for all).
    """
    exe = driver("assignment_driver")

    def run(problems, mode="raw"):
        lines = [str(len(problems))]
        for no_link, entries, columns in problems:
            lines.append(f"{len(no_link)} {columns}")
            for s, row in zip(no_link, entries):
                pairs = " ".join(f"{c} {v}" for c, v in row.items())
                lines.append(f"{s} {len(row)} {pairs}")
        out = subprocess.run([str(exe), mode], input="\n".join(lines) + "\n", capture_output=True,
                             text=True, check=True).stdout.split("\n")
        results = []
        for line in out[: len(problems)]:
            values = [int(v) for v in line.split()]
            results.append((values[0], values[1:]))
        return results

    return run


def brute_force(no_link, entries):
    """All assignments of smallest total cost, by enumeration."""
    best, optima = None, []

    def walk(row, used, chosen, total):
        nonlocal best, optima
        if row == len(no_link):
            if best is None or total < best:
                best, optima = total, [list(chosen)]
            elif total == best:
                optima.append(list(chosen))
            return
        walk(row + 1, used, chosen + [-1], total + no_link[row])
        for column, cost in entries[row].items():
            if column not in used:
                walk(row + 1, used | {column}, chosen + [column], total + cost)

    walk(0, frozenset(), [], 0)
    return best, optima


def random_problem(rng, rows, columns, density, high, no_link_high):
    no_link = [int(v) for v in rng.integers(1, no_link_high, rows)]
    entries = []
    for _ in range(rows):
        mask = rng.random(columns) < density
        entries.append({int(c): int(rng.integers(0, high)) for c in np.flatnonzero(mask)})
    return no_link, entries, columns


def scipy_reference(no_link, entries, columns):
    """Dense rows x (columns + rows) matrix: forbidden entries get a cost no optimum can afford."""
    rows = len(no_link)
    forbidden = 10 * (max(no_link) + max([max(e.values(), default=0) for e in entries]) + 1) * rows
    dense = np.full((rows, columns + rows), forbidden, dtype=np.float64)
    for r, row in enumerate(entries):
        for c, v in row.items():
            dense[r, c] = v
        dense[r, columns + r] = no_link[r]
    r_idx, c_idx = linear_sum_assignment(dense)
    total = int(dense[r_idx, c_idx].sum())
    chosen = [int(c) if c < columns else -1 for c in c_idx[np.argsort(r_idx)]]
    return total, chosen


def test_global_not_greedy(solve):
    # s1-t1 = 1, s1-t2 = 2, s2-t1 = 2, s2-t2 infeasible, no-link 5 (units of 1e6).
    [(total, columns)] = solve([([5_000_000, 5_000_000],
                                 [{0: 1_000_000, 1: 2_000_000}, {0: 2_000_000}], 2)])
    assert (total, columns) == (4_000_000, [1, 0])


@pytest.mark.parametrize(
    "problem, expected",
    [
        (([5], [{0: 5}], 1), (5, [0])),          # a link costing exactly the no-link cost is made
        (([5], [{0: 6}], 1), (5, [-1])),         # a link dearer than staying unlinked is not
        (([5, 5], [{0: 1}, {0: 2}], 1), (6, [0, -1])),  # the closer source takes the only target
        (([5, 5], [{}, {}], 3), (10, [-1, -1])),  # rows without entries stay unassigned
        (([], [], 4), (0, [])),                   # no rows at all
        (([3, 3, 3], [{0: 1, 1: 2}, {0: 1, 1: 2}, {0: 1, 1: 2}], 2), (6, None)),  # three for two
    ],
)
def test_small_cases(solve, problem, expected):
    [(total, columns)] = solve([problem])
    assert total == expected[0]
    if expected[1] is not None:
        assert columns == expected[1]
    taken = [c for c in columns if c >= 0]
    assert len(taken) == len(set(taken))


def test_against_brute_force(solve):
    rng = np.random.default_rng(7)
    problems = []
    for _ in range(400):
        rows, columns = int(rng.integers(1, 6)), int(rng.integers(1, 6))
        high = int(rng.choice([4, 1000]))  # small costs make many ties, large ones unique optima
        problems.append(random_problem(rng, rows, columns, rng.uniform(0.2, 1.0), high, high + 2))
    for problem, (total, columns) in zip(problems, solve(problems)):
        best, optima = brute_force(problem[0], problem[1])
        assert total == best
        assert columns in optima
        if len(optima) == 1:
            assert columns == optima[0]


@pytest.mark.parametrize("rows, columns, density", [(40, 30, 0.3), (60, 80, 0.05), (150, 150, 0.02),
                                                     (100, 20, 0.5)])
def test_against_scipy(solve, rows, columns, density):
    rng = np.random.default_rng(rows * 1000 + columns)
    problems = [random_problem(rng, rows, columns, density, 10**9, 10**9) for _ in range(5)]
    for problem, (total, chosen) in zip(problems, solve(problems)):
        ref_total, ref_chosen = scipy_reference(*problem)
        assert total == ref_total
        # With costs drawn from a billion values, the optimum is unique.
        assert chosen == ref_chosen


def test_large_costs_stay_exact(solve):
    # Costs near the top of the accepted range: exact integer arithmetic, no float rounding.
    big = 2**60
    problem = ([big, big, big], [{0: big - 1, 1: big - 3}, {0: big - 2, 1: big - 1}, {1: big - 2}], 2)
    [(total, columns)] = solve([problem])
    best, optima = brute_force(problem[0], problem[1])
    assert total == best and columns in optima


def links(columns):
    return sum(c >= 0 for c in columns)


def tied_problem(rng, rows, columns, no_link):
    """Uniform no-link cost and entries drawn from a few values up to it: ties everywhere."""
    density = rng.uniform(0.3, 1.0)
    entries = [{int(c): int(rng.choice([0, no_link // 2, no_link - 1, no_link]))
                for c in np.flatnonzero(rng.random(columns) < density)} for _ in range(rows)]
    return [no_link] * rows, entries, columns


@pytest.mark.parametrize("mode", ["dense", "sparse", "component"])
def test_frame_pair_solvers_prefer_more_links_among_optima(solve, mode):
    # Both solvers of a frame pair's components give a cheapest assignment and, among those, one
    # with the most links.
    rng = np.random.default_rng(17)
    problems = [tied_problem(rng, int(rng.integers(1, 7)), int(rng.integers(1, 7)),
                             int(rng.choice([2, 4, 1000]))) for _ in range(600)]
    for problem, (total, columns) in zip(problems, solve(problems, mode)):
        best, optima = brute_force(problem[0], problem[1])
        assert total == best
        assert columns in optima
        assert links(columns) == max(links(o) for o in optima)


@pytest.mark.parametrize("rows, columns, high", [(40, 40, 4), (30, 70, 10**6), (70, 30, 3), (60, 60, 10**6)])
def test_dense_and_sparse_against_scipy(solve, rows, columns, high):
    # Full components: scipy on the matrix with the tie rule folded in (exact in float64 here)
    # gives the smallest total and, with it, the largest number of links.
    rng = np.random.default_rng(rows + columns + high)
    no_link = high
    problems = [([no_link] * rows,
                 [{c: int(v) for c, v in enumerate(rng.integers(0, high + 1, columns))} for _ in range(rows)],
                 columns) for _ in range(3)]
    for problem, dense, sparse in zip(problems, solve(problems, "dense"), solve(problems, "sparse")):
        scale = rows + 1
        matrix = np.full((rows, columns + rows), 10.0 * scale * no_link)
        for r, row in enumerate(problem[1]):
            for c, v in row.items():
                matrix[r, c] = v * scale
            matrix[r, columns + r] = no_link * scale + 1
        r_idx, c_idx = linear_sum_assignment(matrix)
        folded = int(matrix[r_idx, c_idx].sum())
        for total, chosen in (dense, sparse):
            assert total * scale + (rows - links(chosen)) == folded
            taken = [c for c in chosen if c >= 0]
            assert len(taken) == len(set(taken))
