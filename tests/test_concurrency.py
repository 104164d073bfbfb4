"""fork() after the worker pool has run, and calls from several Python threads at once."""

import multiprocessing
import sys
import threading
import warnings

import numpy as np
import pytest

import quorlin
from reliability_support import freeze, spot_frame, typical_calls, walk_frames


def run_all(calls):
    return {name: freeze(getattr(quorlin, name)(*args)) for name, args in calls.items()}


def big_calls():
    """Calls large enough that the parallel stages split into many tasks."""
    frame = spot_frame((600, 600), count=400, seed=11)
    volume = spot_frame((40, 60, 60), count=60, seed=12)
    return {
        "rs_detect_peaks": (frame, (0.0, 599.0, 0.0, 599.0), 2.0, 3.0, None, None, None),
        "rs_detect_peaks3d": (volume, (0.0, 39.0, 0.0, 59.0, 0.0, 59.0), 2.0, 3.0, None, None,
                              None, None, None),
        "rs_link_points": (walk_frames(2, frames=30, particles=300, seed=13), 1.0, 2, 3.0),
    }


def in_forked_child(work, timeout=120):
    """Runs work() in a child made by fork() and returns its result; fails if the child hangs or
    dies."""
    ctx = multiprocessing.get_context("fork")
    receive, send = ctx.Pipe(duplex=False)

    def child():
        try:
            send.send(("ok", work()))
        except BaseException as e:  # reported to the parent, which fails the test
            send.send(("error", repr(e)))

    with warnings.catch_warnings():
        # Python 3.12+ warns that fork() in a process with threads (the worker pool) may deadlock
        # the child; that is exactly what is tested here.
        warnings.filterwarnings("ignore", message=r".*use of fork\(\) may lead to deadlocks",
                                category=DeprecationWarning)
        proc = ctx.Process(target=child)
        proc.start()
    try:
        answered = receive.poll(timeout)
        assert answered, f"the forked child gave no answer within {timeout} s (hung?)"
        status, value = receive.recv()
    finally:
        proc.join(30)
        if proc.is_alive():
            proc.kill()
            proc.join()
    assert status == "ok", value
    assert proc.exitcode == 0
    return value


def test_forked_child_computes_what_the_parent_computes():
    # The parent runs every function first, so the worker pool exists before the fork.
    parent = run_all(typical_calls())
    parent_big = run_all(big_calls())
    child = in_forked_child(lambda: (run_all(typical_calls()), run_all(big_calls())))
    assert child[0] == parent
    assert child[1] == parent_big
    # The parent's pool still works after the child is gone.
    assert run_all(big_calls()) == parent_big


def test_fork_twice_in_a_row_and_nested():
    expected = run_all(big_calls())

    def grandchild_work():
        return in_forked_child(lambda: run_all(big_calls()), timeout=90)

    assert in_forked_child(lambda: run_all(big_calls())) == expected
    assert in_forked_child(grandchild_work) == expected


@pytest.mark.parametrize("threads", [2, 4])
def test_threads_at_once_match_sequential_calls(threads):
    jobs = {name: (name, args) for name, args in typical_calls().items()}
    jobs.update({f"{name} (big)": (name, args) for name, args in big_calls().items()})
    expected = {key: freeze(getattr(quorlin, fn)(*args)) for key, (fn, args) in jobs.items()}
    keys = list(jobs)
    barrier = threading.Barrier(threads)
    outcomes = [None] * threads

    def worker(k):
        try:
            barrier.wait(timeout=60)
            got = []
            for rep in range(3):
                order = keys[k % len(keys):] + keys[:k % len(keys)]
                if rep % 2:
                    order.reverse()
                for key in order:
                    fn, args = jobs[key]
                    got.append((key, freeze(getattr(quorlin, fn)(*args))))
            outcomes[k] = got
        except BaseException as e:
            outcomes[k] = e

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join(300)
        assert not any(t.is_alive() for t in pool), "a thread hung"
    finally:
        sys.setswitchinterval(old)
    for got in outcomes:
        assert not isinstance(got, BaseException), got
        assert len(got) == 3 * len(keys)
        for key, value in got:
            assert value == expected[key], key


def test_errors_in_one_thread_do_not_disturb_another():
    calls = typical_calls()
    expected = run_all(calls)
    stop = threading.Event()
    seen = []

    def failing():
        frame = np.zeros((8, 8), dtype=np.float64)
        while not stop.is_set():
            for name in calls:
                try:
                    getattr(quorlin, name)(frame)
                except TypeError as e:
                    seen.append(type(e))

    t = threading.Thread(target=failing)
    t.start()
    try:
        for _ in range(3):
            assert run_all(calls) == expected
    finally:
        stop.set()
        t.join(60)
    assert not t.is_alive()
    assert seen and set(seen) == {TypeError}
