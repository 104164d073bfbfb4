"""Timing helper shared by the benchmark scripts."""

import time


def best_time(fn, repeats):
    """Best wall time of `repeats` calls of fn, and the result of the last call."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result
