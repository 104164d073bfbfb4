"""Thread control: one limit for the whole process's oneTBB pool, the raw module's stages included."""

import os
import threading

import pytest

import quorlin_track as qt
from quorlin_track._threads import MAX_THREADS

CHILD = """
import re
import numpy as np
import quorlin
import quorlin_track as qt

def threads_now():
    return int(re.search(r"^Threads:\\s+(\\d+)", open("/proc/self/status").read(), re.M).group(1))

# Distinct values, so the order of the peaks is fully determined.
n = 1024
frame = np.random.default_rng(7).permutation(n * n).astype(np.float32).reshape(n, n)
def detect():
    return quorlin.rs_detect_peaks(frame, (0.0, n - 1.0, 0.0, n - 1.0), 0.9 * n * n, 3.0,
                                   "radial_symmetry", 7, None)

before = threads_now()
with qt.threads(1):
    limited = detect()
    with_limit = threads_now()
default = detect()
print(before, with_limit, threads_now(), len(default[0]))
assert all(np.array_equal(a, b) for a, b in zip(limited, default)), "results differ"
maps = {line.split()[-1] for line in open("/proc/self/maps") if "/libtbb.so" in line}
assert len(maps) == 1, maps
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")
def test_one_thread_starts_no_workers_and_changes_no_result(python_subprocess):
    done = python_subprocess(CHILD)
    assert done.returncode == 0, done.stderr
    before, with_limit, after_default, peaks = map(int, done.stdout.split())
    assert peaks > 10_000
    assert with_limit == before
    assert after_default > before


def test_nested_blocks_restore_the_previous_limit():
    assert qt.get_threads() is None
    with qt.threads(3):
        with qt.threads(1):
            assert qt.get_threads() == 1
        assert qt.get_threads() == 3
        with pytest.raises(KeyError), qt.threads(None):
            assert qt.get_threads() is None
            raise KeyError
        assert qt.get_threads() == 3
    assert qt.get_threads() is None
    qt.set_threads(2)
    assert qt.get_threads() == 2
    qt.set_threads(0)
    assert qt.get_threads() is None


def test_blocks_of_two_threads_ending_out_of_order_restore_the_default():
    entered, inside, ended = threading.Event(), threading.Event(), threading.Event()
    seen = []

    def second():
        entered.wait()
        with qt.threads(4):
            inside.set()
            ended.wait()  # the first block has ended; this one stays in force
            seen.append(qt.get_threads())

    helper = threading.Thread(target=second)
    helper.start()
    with qt.threads(1):
        entered.set()
        inside.wait()
    ended.set()
    helper.join()
    assert seen == [4] and qt.get_threads() is None


@pytest.mark.parametrize("n, error", [(-1, ValueError), (MAX_THREADS + 1, ValueError),
                                      (2.0, TypeError), ("2", TypeError), (True, TypeError)])
def test_bad_counts_name_n(n, error):
    with pytest.raises(error, match=r"^n must be an integer >= 0 and <= 65536"):
        qt.set_threads(n)
    with pytest.raises(error, match=r"^n must be"):
        with qt.threads(n):
            pass
    assert qt.get_threads() is None
