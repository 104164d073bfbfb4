"""Every function called thousands of times on its normal path and on every error path (binding,
each conversion, tuple items, the core's own errors): the process's memory stays flat and the
arguments' reference counts are unchanged. Runs in a child interpreter that measures its RSS. The
one RSS check also covers the requests that cannot be allocated (test_memory.py)."""

import functools
import json

import pytest

from reliability_support import SANITIZED, run_python, unallocatable_outcomes

# Under AddressSanitizer freed memory sits in a quarantine, so RSS is not measured there; the
# reference counts and the error classes still are.
REPEATS = 300 if SANITIZED else 12000
# A leak of one small object (a float tuple, an exception) per call grows RSS by more than the
# tolerance in this many calls; the noise after the warm-up is a few pages.
TOLERANCE = 1 << 19

CHILD = """
import gc, json, sys
import numpy as np
import quorlin
from reliability_support import rss_bytes, typical_calls, walk_frames

REPEATS = {repeats}
calls = typical_calls()


class NoFloat:
    def __float__(self):
        raise TypeError("no float here")


def replaced(name, **changes):
    import inspect
    params = list(inspect.signature(getattr(quorlin, name)).parameters)
    kwargs = dict(zip(params, calls[name]))
    kwargs.update(changes)
    return kwargs


cases = []  # (function, label, positional, keyword, expected exception name or None)


def case(name, label, *, expect, args=(), **kwargs):
    cases.append((name, label, args, kwargs, expect))


def param_errors(name, **bad):
    for param, (value, expect) in bad.items():
        case(name, f"{{param}}={{value!r:.30}}", expect=expect, **replaced(name, **{{param: value}}))


f64 = np.zeros((8, 8))
for name in calls:
    case(name, "result", expect=None, args=calls[name])
    case(name, "result by keyword", expect=None, **replaced(name))
    params = list(replaced(name))
    first = params[0]
    case(name, "missing argument", expect="TypeError", **{{k: v for k, v in replaced(name).items() if k != params[-1]}})
    case(name, "unknown keyword", expect="TypeError", nonsense=1, **replaced(name))
    case(name, "given twice", expect="TypeError", args=calls[name][:1], **replaced(name))
    case(name, "surplus positional", expect="TypeError", args=tuple(calls[name]) + (None,))
    param_errors(name, **{{first: (f64 if not name.startswith("rs_link") else [f64], "TypeError")}})

both_detect = dict(threshold=("high", "TypeError"), min_distance=(NoFloat(), "TypeError"),
                   localization_method=(b"radial_symmetry", "TypeError"),
                   localization_window_size=(-1, "OverflowError"),
                   max_num_peaks=(2.0, "TypeError"), extent=([0.0, 1.0, 0.0, 1.0], "TypeError"))
param_errors("rs_detect_peaks", **both_detect)
param_errors("rs_detect_peaks3d", **both_detect, correlation_sigmas=([1.0] * 3, "TypeError"),
             correlation_threshold=("x", "TypeError"))
param_errors("rs_detect_peaks", extent=((0.0, 47.0, 0.0), "IndexError"))
param_errors("rs_detect_peaks", extent=((0.0, 47.0, "a", 47.0), "TypeError"))
param_errors("rs_detect_peaks", localization_method=("radial_\\ud800", "UnicodeEncodeError"))
param_errors("rs_detect_peaks", localization_method=("nope", "ValueError"))
param_errors("rs_detect_peaks", localization_window_size=(4, "ValueError"))
param_errors("rs_detect_peaks", max_num_peaks=(-1, "OverflowError"))
param_errors("rs_detect_peaks3d", max_num_peaks=(2**70, "OverflowError"))
param_errors("rs_detect_peaks3d", extent=((0.0, 1.0) * 2, "IndexError"))
param_errors("rs_detect_peaks3d", correlation_sigmas=((1.0, 1.0), "IndexError"))
param_errors("rs_detect_peaks3d", localization_method=("nope", "ValueError"))
for name, width in (("rs_draw_tracks", 2), ("rs_draw_tracks_3d", 3), ("rs_draw_tracks_value", 2),
                    ("rs_draw_tracks_value_3d", 3)):
    matrix, ends, extent, pixel = calls[name]
    matrix_name = list(replaced(name))[0]
    param_errors(name, track_end_indices=(ends.astype(np.int64), "TypeError"),
                 extent=((0.0,) * (2 * width - 1), "IndexError"),
                 pixel_size=("1", "TypeError"))
    param_errors(name, extent=((0.0, 10.0) * (width - 1) + (0.0, None), "TypeError"))
    param_errors(name, extent=([0.0, 10.0] * width, "TypeError"))
    param_errors(name, pixel_size=(0.0, "ValueError"))
    param_errors(name, pixel_size=(1e-9, "MemoryError"))
    param_errors(name, track_end_indices=(np.array([-1], np.int32), "ValueError"))
    param_errors(name, **{{matrix_name: (np.ascontiguousarray(matrix[:, :2]), "ValueError")}})
for name, cols in (("rs_link_points", 3), ("rs_link_points_3d", 4)):
    frames = calls[name][0]
    param_errors(name, points_list=("frames", "TypeError"))
    param_errors(name, points_list=(5, "TypeError"))
    param_errors(name, points_list=(frames[:3] + [frames[3][:, :2].copy()], "ValueError"))
    param_errors(name, max_distance=(0.0, "ValueError"))
    param_errors(name, max_skip=(-1, "OverflowError"))
    param_errors(name, max_skip=(1.5, "TypeError"))
    param_errors(name, max_skip=(2**64, "OverflowError"))
    param_errors(name, max_distance=("far", "TypeError"))
param_errors("rs_link_points", max_intensity_ratio=(None, "TypeError"))
case("rs_radial_symmetry_2d", "estimator fails", expect="ValueError",
     args=(np.ones((5, 5), np.float32),))
case("rs_radial_symmetry_3d", "estimator fails", expect="ValueError",
     args=(np.ones((5, 5, 5), np.float32),))


def run(func, args, kwargs):
    try:
        func(*args, **kwargs)
        return None
    except Exception as e:
        return type(e).__name__


def counts(args, kwargs):
    objs = list(args) + list(kwargs.values())
    out = []
    for o in objs:
        if isinstance(o, (np.ndarray, list, tuple)):
            out.append(sys.getrefcount(o))
            if isinstance(o, (list, tuple)):
                out.extend(sys.getrefcount(x) for x in o if isinstance(x, np.ndarray))
    return out


report = []
for name, label, args, kwargs, expect in cases:
    func = getattr(quorlin, name)
    # Results of the normal path are larger than a float pair or an exception, so fewer calls
    # show a leak of one per call just as clearly.
    repeats = REPEATS if expect or name == "rs_radial_symmetry_2d" else REPEATS // 2
    for _ in range(repeats // 3):
        got = run(func, args, kwargs)
    gc.collect()
    before_counts = counts(args, kwargs)
    before = rss_bytes()
    for _ in range(repeats):
        run(func, args, kwargs)
    gc.collect()
    growth = rss_bytes() - before
    report.append(dict(name=name, label=label, expect=expect, got=got, growth=growth,
                       counts_kept=counts(args, kwargs) == before_counts))
print(json.dumps(report))
"""


@functools.cache
def repeated_call_report():
    out = run_python(CHILD.format(repeats=REPEATS), timeout=900)
    return json.loads(out.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def report():
    return repeated_call_report()


def test_every_function_and_error_path_is_exercised(report):
    names = {r["name"] for r in report}
    for name in names:
        labels = [r["label"] for r in report if r["name"] == name]
        # The result, four binding errors, and at least two conversion or core errors each.
        assert len(labels) >= 7, (name, labels)
    for r in report:
        assert r["got"] == r["expect"], r


def rss_growths(source):
    """(label, RSS growth in bytes, tolerance) of each measured case of a source."""
    if source == "repeated calls":
        return [(f"{r['name']} {r['label']}", r["growth"], TOLERANCE)
                for r in repeated_call_report()]
    # The RSS after every failed request since the start: freed attempts leave a few pages.
    return [(case, r["rss_growth"], 32 << 20) for case, r in unallocatable_outcomes().items()]


@pytest.mark.skipif(SANITIZED, reason="RSS is not meaningful under AddressSanitizer")
@pytest.mark.parametrize("source", ["repeated calls", "unallocatable requests"])
def test_memory_stays_flat(source):
    grown = [(label, growth) for label, growth, tolerance in rss_growths(source)
             if growth > tolerance]
    assert not grown, grown


def test_argument_reference_counts_are_unchanged(report):
    changed = [r for r in report if not r["counts_kept"]]
    assert not changed, changed
