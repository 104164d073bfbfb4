"""Property-based calls of all ten functions with random shapes, layouts, dtypes, byte orders,
special values, argument types and keyword orders. Every call must either return a well-formed
result or raise the documented exception for the first bad argument; none may crash or hang.

The regular run uses a fixed, derandomized set of examples; QUORLIN_FUZZ_PROFILE=long (make
fuzz-long) runs many more, randomized."""

import faulthandler
import gc
import inspect
import math
import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

import quorlin
from reliability_support import (DOCUMENTED_ERRORS, FUNCTION_NAMES, SANITIZED,
                                 check_well_formed, freeze, typical_calls)

# Calls take milliseconds; the deadline is generous so that a loaded machine cannot make the run
# flaky, yet a call that loops over an astronomically large range still fails it. The settings
# apply to this module's tests only.
_common = dict(suppress_health_check=list(HealthCheck), print_blob=True,
               deadline=60000 if SANITIZED else 10000)
_profiles = {
    "ci": settings(max_examples=150, derandomize=True, database=None, **_common),
    "long": settings(max_examples=4000, **_common),
}
FUZZ = _profiles[os.environ.get("QUORLIN_FUZZ_PROFILE", "ci")]


@pytest.fixture(autouse=True)
def hang_guard():
    """A call that never returns kills the run with every thread's stack instead of stalling it."""
    faulthandler.dump_traceback_later(1800 if SANITIZED else 600, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


class Arg:
    """A generated argument: the object and how its conversion fails (None when it is accepted)."""

    def __init__(self, value, fails=None):
        self.value = value
        self.fails = fails

    def __repr__(self):
        return f"Arg({self.value!r}, fails={self.fails and self.fails.__name__})"


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"FloatLike({self.v!r})"


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"IndexLike({self.v!r})"


class SubArray(np.ndarray):
    pass


class SubTuple(tuple):
    pass


SPECIALS = [math.nan, math.inf, -math.inf, 3.4e38, -3.4e38, 1e-45, -1e-45, 1e-38, 0.0, -0.0, 1.0,
            -1.0, 0.5]

# --- numbers ------------------------------------------------------------------------------------
# Each argument strategy yields Arg objects; with bad=True it yields a form that its conversion
# refuses, with the class of the refusal.


def any_float(lo=-1e3, hi=1e3):
    return st.one_of(st.floats(lo, hi, width=32), st.sampled_from(SPECIALS))


def f32_arg(values=None, bad=False):
    if bad:
        return st.one_of(
            st.sampled_from(["1.0", b"1", None, [1.0], (1.0,), 1j]).map(lambda v: Arg(v, TypeError)),
            st.just(Arg(10**400, OverflowError)),
        )
    values = values if values is not None else any_float()
    return st.one_of(
        values,
        values,
        values.map(FloatLike),
        values.filter(math.isfinite).map(np.float64),
        st.integers(-(2**70), 2**70),
        st.booleans(),
    ).map(Arg)


def u64_arg(small=st.integers(0, 12), bad=False):
    if bad:
        return st.one_of(
            st.sampled_from([-1, -(2**63), 2**64, 2**100]).map(lambda v: Arg(v, OverflowError)),
            st.sampled_from([2.0, "3", None, [1], 1.5]).map(lambda v: Arg(v, TypeError)),
        )
    return st.one_of(
        small, small, small.map(IndexLike), small.map(np.int64), st.booleans(),
        st.sampled_from([2**64 - 1, 2**63, 2**32 + 1]),
    ).map(Arg)


def optional(strategy):
    # None is accepted by an optional argument even where the inner kind refuses it.
    return st.one_of(st.just(Arg(None)), strategy.map(lambda a: Arg(None) if a.value is None else a))


def text_arg(names, bad=False):
    if bad:
        return st.one_of(
            st.sampled_from([b"radial_symmetry", 3, ["x"]]).map(lambda v: Arg(v, TypeError)),
            st.just(Arg("radial_\ud800", UnicodeEncodeError)),
        )
    return st.one_of(st.sampled_from(names), st.sampled_from(names), st.text(max_size=6)).map(Arg)


METHODS = ["radial_symmetry", "gaussian_fitting", "Radial_symmetry", "radial symmetry", "radial",
           "", "radial_symmetry\x00"]

# --- tuples (their items are read after the conversions) -------------------------------------


def float_tuple_arg(needed, values=None, bad=False):
    """A tuple argument, and the error that reading its first `needed` items raises (or None)."""
    if bad:
        return st.sampled_from([[0.0] * needed, np.zeros(needed), "abcdef", 1.0]).map(
            lambda v: (Arg(v, TypeError), None))
    values = values if values is not None else any_float()

    @st.composite
    def build(draw):
        if draw(st.integers(0, 5)) == 0:
            # A flawed tuple: too short, or an item that is not a number.
            item = st.one_of(values, st.integers(-2, 2), st.sampled_from(["x", None, 10**400]))
            items = draw(st.lists(item, min_size=max(0, needed - 2), max_size=needed + 1))
        else:
            items = [draw(values) for _ in range(needed + draw(st.integers(0, 2)))]
        t = draw(st.sampled_from([tuple, tuple, SubTuple]))(items)
        return Arg(t), item_error(t, needed)

    return build()


def item_error(t, needed):
    for k in range(needed):
        if k >= len(t):
            return IndexError
        v = t[k]
        if v is None or isinstance(v, str):
            return TypeError
        if isinstance(v, int) and abs(v) > 2**1100:
            return OverflowError
    return None


# --- arrays -----------------------------------------------------------------------------------


@st.composite
def float_values(draw, shape):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(["normal", "plateau", "specials", "spots"]))
    if kind == "plateau":
        a = rng.integers(0, 3, size=shape).astype(np.float64)
    elif kind == "spots":
        a = rng.exponential(1.0, size=shape) ** 3
    else:
        a = rng.normal(0, draw(st.sampled_from([1e-30, 1.0, 1e3, 1e30])), size=shape)
    if kind == "specials" or draw(st.booleans()):
        mask = rng.random(shape) < draw(st.sampled_from([0.02, 0.2, 1.0]))
        a[mask] = rng.choice(SPECIALS, size=int(mask.sum()))
    with np.errstate(over="ignore"):
        return a.astype(np.float32)


def lay_out(draw, a):
    """The values of a in a random memory layout (or, broadcast, its first row repeated)."""
    layout = draw(st.sampled_from(["c", "fortran", "reversed", "stepped", "transposed",
                                   "unaligned", "readonly", "subclass", "broadcast"]))
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "reversed":
        return np.ascontiguousarray(a[(slice(None, None, -1),) * a.ndim])[
            (slice(None, None, -1),) * a.ndim]
    if layout == "stepped":
        big = np.zeros(tuple(2 * n + 1 for n in a.shape), dtype=a.dtype)
        big[(slice(1, None, 2),) * a.ndim] = a
        return big[(slice(1, None, 2),) * a.ndim]
    if layout == "transposed":
        return np.ascontiguousarray(a.T).T
    if layout == "unaligned":
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
        if a.size:
            raw[1:] = np.frombuffer(np.ascontiguousarray(a).tobytes(), dtype=np.uint8)
        return out
    if layout == "readonly":
        b = a.copy()
        b.flags.writeable = False
        return b
    if layout == "subclass":
        return a.view(SubArray)
    if layout == "broadcast" and a.ndim >= 1 and a.shape[0] > 0:
        return np.broadcast_to(a[:1], a.shape)
    return np.ascontiguousarray(a)


@st.composite
def float_array(draw, ndim, max_side, min_cols=0):
    side = st.one_of(st.integers(0, max_side), st.integers(min(3, max_side), max_side))
    shape = [draw(side) for _ in range(ndim)]
    if min_cols and draw(st.integers(0, 4)) > 0:
        shape[-1] = max(shape[-1], min_cols)
    return lay_out(draw, draw(float_values(tuple(shape))))


def array_arg(ndim, max_side, min_cols=0, bad=False):
    if not bad:
        return float_array(ndim, max_side, min_cols).map(Arg)

    @st.composite
    def wrong(draw):
        a = draw(float_array(ndim, 4))
        with np.errstate(all="ignore"):
            forms = [a.astype(np.float64), a.astype(np.float16), a.astype(">f4"),
                     a.astype(np.int32), a[..., None], np.zeros((), np.float32), a.tolist(),
                     np.float32(1.0), None, "array", a.astype(np.complex64)]
        return Arg(draw(st.sampled_from(forms)), TypeError)

    return wrong()


@st.composite
def ends_arg(draw, rows, bad=False):
    if bad:
        kind = draw(st.sampled_from(["int64", "uint32", "float", "2d", "list"]))
        base = np.array([rows], dtype=np.int64)
        value = {"int64": base, "uint32": base.astype(np.uint32), "float": base.astype(np.float32),
                 "2d": base.astype(np.int32)[None], "list": [rows]}[kind]
        return Arg(value, TypeError)
    n = draw(st.integers(0, 6))
    ends = sorted(draw(st.lists(st.integers(0, rows + 2), min_size=n, max_size=n)))
    if draw(st.integers(0, 5)) == 0 and ends:
        ends[draw(st.integers(0, len(ends) - 1))] = draw(st.sampled_from([-1, -(2**31), 2**31 - 1]))
    if draw(st.booleans()):
        ends = draw(st.permutations(ends))
    return Arg(lay_out(draw, np.array(ends, dtype=np.int32)))


@st.composite
def frames_arg(draw, cols, bad=False):
    if bad and draw(st.booleans()):
        return Arg(draw(st.sampled_from(["frames", 5, None, {"a": 1}, b"ab", np.zeros((2, 3))])),
                   TypeError)
    frames = []
    narrow = draw(st.integers(0, 4)) == 0
    widths = [cols, cols, cols + 1] + ([cols - 1, 0] if narrow else [])
    for _ in range(draw(st.integers(0, 6))):
        rows = draw(st.integers(0, 8))
        width = draw(st.sampled_from(widths))
        values = draw(float_values((rows, width)))
        # Mostly nearby coordinates, so that links exist.
        if draw(st.booleans()) and rows:
            with np.errstate(invalid="ignore"):
                values = (values % 8).astype(np.float32)
        frames.append(lay_out(draw, values))
    if bad:
        frames.insert(draw(st.integers(0, len(frames))), np.zeros((2, cols), dtype=np.float64))
    container = draw(st.sampled_from([list, tuple]))
    return Arg(container(frames), TypeError if bad else None)


def link_distance(bad=False):
    if bad:
        return f32_arg(bad=True)
    good = st.floats(0.0625, 20.0, width=32).map(Arg)
    return st.one_of(good, good, good, good, good, f32_arg())


# --- per-function argument sets --------------------------------------------------------------

PIXEL_SPECIALS = [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf]


@st.composite
def render_args(draw, name, bad):
    dims = 3 if name.endswith("_3d") else 2
    cols = dims + 1 + (1 if "value" in name else 0)
    matrix = draw(array_arg(2, 12, min_cols=cols, bad=0 in bad))
    rows = matrix.value.shape[0] if matrix.fails is None else 3
    ends = draw(ends_arg(rows, bad=1 in bad))
    # Keep the grid small: at most about 40 cells per axis for a usable pixel size.
    if 3 in bad:
        pixel, p = draw(f32_arg(bad=True)), 1.0
    elif draw(st.integers(0, 5)) == 0:
        pixel = draw(st.one_of(st.sampled_from(PIXEL_SPECIALS).map(Arg), f32_arg(st.just(0.0))))
        p = 1.0
    else:
        p = draw(st.floats(0.0625, 10.0, width=32))
        pixel = Arg(draw(st.sampled_from([p, FloatLike(p), np.float32(p)])))
    lows = [draw(st.floats(-50, 50, width=32)) for _ in range(dims)]
    spans = [float(np.float32(draw(st.floats(-0.05, 1.0)) * 40 * p)) for _ in range(dims)]
    items = []
    for lo, span in zip(lows, spans):
        items += [lo, lo + span]
    if draw(st.integers(0, 5)) == 0:
        # A bound at an infinity, NaN or the float limit: that axis gets no cell or saturates.
        items[draw(st.integers(0, len(items) - 1))] = draw(
            st.sampled_from([math.inf, -math.inf, math.nan, 3.4e38, -3.4e38]))
    extent, item_fails = Arg(tuple(items)), None
    if 2 in bad or draw(st.integers(0, 7)) == 0:
        extent, item_fails = draw(float_tuple_arg(2 * dims, st.just(0.0), bad=2 in bad))
    # Coordinates in and around the grid, with a few far away.
    if matrix.fails is None and draw(st.booleans()):
        m = np.array(matrix.value, dtype=np.float32)
        if m.size and m.shape[1] >= dims:
            with np.errstate(invalid="ignore", over="ignore"):
                for axis in range(dims):
                    m[:, axis] = np.float32(lows[axis]) + (m[:, axis] % 1.5) * np.float32(spans[axis])
            matrix = Arg(lay_out(draw, m))
    return [matrix, ends, extent, pixel], {"extent_items": item_fails, "columns": cols}


@st.composite
def call_args(draw, name):
    """The argument list of one call, and what is known about the items read after conversion.
    Most calls convert cleanly; some have one or two refused arguments."""
    n = len(inspect_params(name))
    bad = {draw(st.integers(-4 * n, n - 1)), draw(st.integers(-8 * n, n - 1))}
    extra = {}
    if name == "rs_detect_peaks":
        extent, item_fails = draw(float_tuple_arg(4, bad=1 in bad))
        args = [draw(array_arg(2, 14, bad=0 in bad)), extent, draw(f32_arg(bad=2 in bad)),
                draw(f32_arg(bad=3 in bad)), draw(optional(text_arg(METHODS, bad=4 in bad))),
                draw(optional(u64_arg(st.integers(0, 9), bad=5 in bad))),
                draw(optional(u64_arg(bad=6 in bad)))]
        extra["extent_items"] = item_fails
    elif name == "rs_detect_peaks3d":
        extent, item_fails = draw(float_tuple_arg(6, bad=1 in bad))
        sigmas = draw(st.one_of(st.just((Arg(None), None)), float_tuple_arg(3, bad=6 in bad)))
        args = [draw(array_arg(3, 9, bad=0 in bad)), extent, draw(f32_arg(bad=2 in bad)),
                draw(f32_arg(bad=3 in bad)),
                draw(optional(u64_arg(st.integers(0, 9), bad=4 in bad))),
                draw(optional(text_arg(METHODS, bad=5 in bad))), sigmas[0],
                draw(optional(f32_arg(bad=7 in bad))), draw(optional(u64_arg(bad=8 in bad)))]
        extra["extent_items"] = item_fails
        extra["sigma_items"] = sigmas[1]
    elif name.startswith("rs_draw_tracks"):
        args, extra = draw(render_args(name, bad))
    elif name == "rs_radial_symmetry_2d":
        args = [draw(array_arg(2, 10, bad=0 in bad))]
    elif name == "rs_radial_symmetry_3d":
        args = [draw(array_arg(3, 8, bad=0 in bad))]
    elif name == "rs_link_points":
        args = [draw(frames_arg(3, bad=0 in bad)), draw(link_distance(bad=1 in bad)),
                draw(u64_arg(st.integers(0, 5), bad=2 in bad)),
                draw(f32_arg(st.one_of(st.floats(0.5, 4.0, width=32), any_float()), bad=3 in bad))]
    else:
        args = [draw(frames_arg(4, bad=0 in bad)), draw(link_distance(bad=1 in bad)),
                draw(u64_arg(st.integers(0, 5), bad=2 in bad))]
    return args, extra


# --- the property ------------------------------------------------------------------------------


def distance_rejected(v):
    """max_distance values for which the no-link cost is not positive or too large."""
    d = np.float32(float(v))
    with np.errstate(all="ignore"):
        s = np.float32(1000000.0) * d
    return not (s >= 1) or not math.isfinite(s) or float(s) * 10 >= 2.0**63


def too_narrow(frames, cols):
    return any(np.ndim(f) == 2 and f.shape[0] > 0 and f.shape[1] < cols for f in frames)


def expected_value_errors(name, values, extra):
    """The ValueError texts (fragments) that the call may raise once all conversions passed, and
    whether one of them is required."""
    allowed, required = [], False
    if name == "rs_detect_peaks":
        method, window = values[4], values[5]
        if method is not None:
            w = 7 if window is None else int(window)
            if w % 2 == 0 or w < 3:
                return ["localization_window_size must be an odd integer >= 3"], True
            if method not in ("radial_symmetry", "gaussian_fitting"):
                return [f"Unknown localization method '{method}'. Choose 'radial_symmetry' or "
                        "'gaussian_fitting'."], True
    elif name == "rs_detect_peaks3d":
        method = values[5]
        if method is not None and method not in ("radial_symmetry", "gaussian_fitting"):
            return [f"Unknown localization method '{method}'. Choose 'radial_symmetry' or "
                    "'gaussian_fitting'."], True
    elif name == "rs_radial_symmetry_2d":
        allowed = ["Radial symmetry localization failed"]
    elif name == "rs_radial_symmetry_3d":
        allowed = ["3D radial symmetry localization failed"]
    elif name.startswith("rs_link_points"):
        cols = 3 if name == "rs_link_points" else 4
        if distance_rejected(values[1]):
            allowed.append("max_distance")
            required = True
        if too_narrow(values[0], cols):
            allowed.append("points_list")
            required = True
    else:
        matrix, ends, _, pixel = values
        p = np.float32(float(pixel))
        if not (math.isfinite(p) and p > 0):
            allowed.append("pixel_size")
            required = True
        if np.any(np.asarray(ends) < 0):
            allowed.append("track_end_indices")
            required = True
        if matrix.shape[1] < extra["columns"]:
            # Too few columns is refused at least when some track has rows.
            allowed.append(inspect_params(name)[0])
            required = required or has_track_rows(matrix.shape[0], np.asarray(ends))
        if not allowed:
            huge = huge_grid(values[2], p, 3 if name.endswith("_3d") else 2)
            if huge == "empty":
                # No cells, but an axis longer than any array can be: the checked result step.
                return ["Error creating ndarray: ShapeError/"], True
            if huge == "cells":
                return ["MemoryError"], True
    return allowed, required


def huge_grid(extent, p, dims):
    """"cells" when no axis is empty and one saturates 64 bits, "empty" when an axis is empty and
    another is beyond the array index range, else None."""
    cells = []
    with np.errstate(all="ignore"):
        for axis in range(dims):
            lo, hi = (np.float32(float(v)) for v in extent[2 * axis:2 * axis + 2])
            cells.append(((hi - lo) + np.float32(0.999) * p) / p)
    if any(not c >= 1 for c in cells):
        return "empty" if any(c >= 2.0**63 for c in cells) else None
    return "cells" if any(c >= 2.0**64 for c in cells) else None


def has_track_rows(rows, ends):
    start = 0
    for e in ends.tolist():
        if min(e, rows) > start:
            return True
        start = e
    return False


_PARAMS = {}


def inspect_params(name):
    if name not in _PARAMS:
        _PARAMS[name] = list(inspect.signature(getattr(quorlin, name)).parameters)
    return _PARAMS[name]


def refcounts(objs):
    """Reference counts of the argument containers and arrays (not of shared small numbers)."""
    out = []
    for o in objs:
        if isinstance(o, (list, tuple, np.ndarray)):
            out.append(sys.getrefcount(o))
        if isinstance(o, (list, tuple)):
            out.extend(sys.getrefcount(x) for x in o if isinstance(x, np.ndarray))
    return out


@pytest.mark.parametrize("name", FUNCTION_NAMES)
@FUZZ
@given(data=st.data())
def test_calls_are_well_formed_or_raise_documented_errors(name, data):
    func = getattr(quorlin, name)
    params = inspect_params(name)
    args, extra = data.draw(call_args(name), label="args")
    values = [a.value for a in args]
    # Random split into positional and keyword arguments, keywords in random order.
    npos = data.draw(st.integers(0, len(params)), label="positional")
    kw_names = data.draw(st.permutations(params[npos:]), label="keyword order")
    kwargs = {k: values[params.index(k)] for k in kw_names}
    positional = values[:npos]

    counts_before = refcounts(values)
    try:
        result = func(*positional, **kwargs)
    except DOCUMENTED_ERRORS as e:
        error = e
        result = None
    else:
        error = None
    event(f"outcome: {type(error).__name__ if error else 'result'}")
    assert refcounts(values) == counts_before, "the call changed the reference count of an argument"

    first_bad = next(((params[i], a.fails) for i, a in enumerate(args) if a.fails), None)
    if first_bad is not None:
        pname, cls = first_bad
        assert type(error) is cls, (error, first_bad)
        if cls is TypeError:
            assert str(error).startswith(f"argument '{pname}': ")
            assert error.__cause__ is not None
        return
    # Tuple items are read after the conversions: the extent first, the 3-D widths later.
    for key in ("extent_items", "sigma_items"):
        if extra.get(key):
            assert type(error) is extra[key], (error, key)
            if extra[key] is TypeError:
                assert not str(error).startswith("argument '")
            return
    allowed, required = expected_value_errors(name, values, extra)
    if allowed == ["MemoryError"]:
        assert type(error) is MemoryError, repr(error)
        return
    if error is not None:
        assert type(error) is ValueError, repr(error)
        assert any(text in str(error) for text in allowed), (str(error), allowed)
        return
    assert not required, f"expected a ValueError about {allowed}"
    check_well_formed(name, result, dict(zip(params, values)))
    for a in result:
        if isinstance(a, np.ndarray) and a.size:
            a.flat[0] = a.flat[-1]


@pytest.mark.parametrize("name", FUNCTION_NAMES)
@FUZZ
@given(data=st.data())
def test_binding_errors(name, data):
    func = getattr(quorlin, name)
    params = inspect_params(name)
    args = list(typical_calls()[name]) if data.draw(st.booleans()) else [object()] * len(params)
    mistake = data.draw(st.sampled_from(["missing", "unknown", "twice", "surplus"]))
    kwargs = dict(zip(params, args))
    positional = []
    if mistake == "missing":
        gone = data.draw(st.sampled_from(params))
        del kwargs[gone]
        expected = f"{name}() missing 1 required positional argument: '{gone}'"
    elif mistake == "unknown":
        kwargs["pixelsize"] = 1.0
        expected = f"{name}() got an unexpected keyword argument 'pixelsize'"
    elif mistake == "twice":
        positional = [args[0]]
        expected = f"{name}() got multiple values for argument '{params[0]}'"
    else:
        positional, kwargs = args + [None], {}
        n = len(params)
        expected = (f"{name}() takes {n} positional argument{'s' if n > 1 else ''} but {n + 1} "
                    "were given")
    with pytest.raises(TypeError) as info:
        func(*positional, **kwargs)
    assert str(info.value) == expected


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_results_are_independent_of_inputs(name):
    """Results are new, writeable arrays that outlive their arguments and share nothing with them."""
    args = typical_calls()[name]
    params = inspect_params(name)
    result = getattr(quorlin, name)(*args)
    check_well_formed(name, result, dict(zip(params, args)))
    frozen = freeze(result)
    del args
    gc.collect()
    # Reuse the freed memory, then read the results.
    junk = [np.full(4096, 7.0, dtype=np.float32) for _ in range(64)]
    assert freeze(result) == frozen
    del junk
    # Writing into a result changes nothing that a later call returns.
    for a in result:
        if isinstance(a, np.ndarray):
            a[...] = 3
    again = getattr(quorlin, name)(*typical_calls()[name])
    assert freeze(again) == frozen


# --- quorlin_track: tables, frames and movies ---------------------------------------------------
# The user layer's functions on random tables (column dtypes, byte orders, nullable and Arrow-free
# extension types, NaN/inf, extreme frame numbers, columns of the wrong kind) and random frames and
# movies (sample types, byte orders, layouts, special values). Each call returns a well-formed
# result or raises TypeError/ValueError (naming the argument, for the functions that promise it)
# or MemoryError; none may crash or hang.

import pandas as pd  # noqa: E402

import quorlin_track as qt  # noqa: E402

TRACK_FUZZ = {
    "ci": settings(max_examples=40, derandomize=True, database=None, **_common),
    "long": settings(max_examples=2000, **_common),
}[os.environ.get("QUORLIN_FUZZ_PROFILE", "ci")]
USER_ERRORS = (TypeError, ValueError, MemoryError)
#: The address space the user-layer calls here may still take: larger requests (a table of 10**9
#: lags asked for on purpose) are refused up front instead of being made. The interpreter's own
#: thread arenas and stacks need room under the limit too: at 1 GiB pytest itself ran out.
FUZZ_MEMORY = 4 << 30


@pytest.fixture
def small_memory():
    """An address-space limit for the test: the native checks count the room under it as the
    memory available. AddressSanitizer maps terabytes of shadow memory and cannot run under one."""
    if SANITIZED:
        pytest.skip("AddressSanitizer cannot run under an address-space limit")
    import resource

    with open("/proc/self/status") as status:
        mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    previous = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped + FUZZ_MEMORY, previous[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, previous)
INT64_ENDS = [-(2**63), -(2**62), -1, 0, 1, 2**62, 2**63 - 1]


@st.composite
def table_column(draw, rng, rows, kind):
    """One column: frame numbers ("frame"), particle ids ("particle") or real values ("real"), in
    a random dtype; now and then of a kind no function accepts (complex, dates, text)."""
    if draw(st.integers(0, 15)) == 0:
        return draw(st.sampled_from([
            rng.normal(size=rows) + 1j, pd.date_range("2020", periods=rows, freq="s"),
            np.array(["a"] * rows, dtype=object), rng.random(rows) > 0.5]))
    if kind == "real":
        values = rng.normal(0, draw(st.sampled_from([1.0, 4.0, 1e6])), rows)
        if draw(st.integers(0, 3)) == 0 and rows:
            values[rng.integers(0, rows, 2)] = draw(st.sampled_from(SPECIALS))
        dtype = draw(st.sampled_from(["f8", "f4", ">f8", "f2", "Float64", "i4"]))
        with np.errstate(all="ignore"):
            return pd.array(values, dtype="Float64") if dtype == "Float64" else values.astype(dtype)
    scale = draw(st.sampled_from([3, 12, 10**9]))
    values = rng.integers(0, scale, rows)
    if kind == "frame" and draw(st.integers(0, 4)) == 0 and rows:
        values = rng.choice(INT64_ENDS, rows)
    dtype = draw(st.sampled_from(["i8", "i4", "u2", "u8", "f8", ">i8", "Int64"]))
    if dtype in ("u2", "u8") and values.min(initial=0) < 0:
        dtype = "i8"
    with np.errstate(all="ignore"):
        out = pd.array(values, dtype="Int64") if dtype == "Int64" else values.astype(dtype)
    if dtype == "f8" and draw(st.integers(0, 5)) == 0 and rows:
        out[rng.integers(0, rows)] = draw(st.sampled_from([0.5, math.nan, math.inf, 2.0**64]))
    return out


@st.composite
def track_table(draw, particle):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    rows = draw(st.integers(0, 24))
    ndim = draw(st.sampled_from([2, 2, 3]))
    columns = {"frame": draw(table_column(rng, rows, "frame"))}
    for name in qt.columns.spatial_columns(ndim):
        columns[name] = draw(table_column(rng, rows, "real"))
    if draw(st.integers(0, 5)) > 0:
        columns["intensity"] = draw(table_column(rng, rows, "real"))
    if particle:
        columns["particle"] = draw(table_column(rng, rows, "particle"))
    return pd.DataFrame(columns)


def named_error(error, names):
    """A TypeError or ValueError of the user layer names the argument it is about first."""
    if isinstance(error, (TypeError, ValueError)):
        assert str(error).split()[0] in names, repr(error)


@pytest.mark.usefixtures("small_memory")
@TRACK_FUZZ
@given(spots=track_table(particle=False), data=st.data())
def test_link_returns_consistent_particles_or_names_the_argument(spots, data):
    max_distance = data.draw(st.one_of(st.floats(0.1, 10.0), st.sampled_from(
        [0.0, -1.0, math.nan, math.inf, 1e-9, 1e300, "2", None])), label="max_distance")
    max_skip = data.draw(st.one_of(st.integers(0, 5), st.sampled_from([2**64, 2**70, -1, 1.5])),
                         label="max_skip")
    ratio = data.draw(st.sampled_from([None, None, 1.0, 2.0, math.inf, 0.5, math.nan]),
                      label="max_intensity_ratio")
    try:
        linked = qt.link(spots, max_distance, max_skip=max_skip, max_intensity_ratio=ratio)
    except USER_ERRORS as error:
        event(f"link: {type(error).__name__}")
        named_error(error, {"spots", "max_distance", "max_skip", "max_intensity_ratio"})
        return
    event("link: linked")
    assert linked.index.equals(spots.index) and linked.drop(columns="particle").equals(spots)
    particle = linked["particle"].to_numpy()
    assert particle.dtype == np.int64
    frames = spots["frame"].to_numpy(dtype=np.float64, na_value=np.nan)
    order = np.lexsort((np.arange(len(spots)), frames))
    first_seen = pd.unique(particle[order])
    assert np.array_equal(first_seen, np.arange(len(first_seen)))  # numbered by first detection
    axes = list(qt.columns.spatial_columns(3 if "z" in spots else 2))
    positions = spots[axes].to_numpy(dtype=np.float64, na_value=np.nan)
    frame_numbers = spots["frame"].to_numpy(dtype=object)
    for p in first_seen:
        rows = order[particle[order] == p]
        if len(rows) == 1:
            continue
        steps = [int(frame_numbers[b]) - int(frame_numbers[a]) for a, b in zip(rows, rows[1:])]
        assert all(1 <= s <= min(max_skip, 2**64 - 1) + 1 for s in steps), steps
        distance = np.sqrt(np.sum(np.diff(positions[rows].astype(np.float32), axis=0) ** 2, axis=1))
        assert np.all(distance <= np.float32(max_distance) * (1 + 1e-6)), distance


@pytest.mark.usefixtures("small_memory")
@TRACK_FUZZ
@given(tracks=track_table(particle=True), data=st.data())
def test_msd_functions_return_their_tables_or_name_the_argument(tracks, data):
    function = data.draw(st.sampled_from([qt.imsd, qt.emsd, qt.diffusion]), label="function")
    mpp = data.draw(st.sampled_from([0.5, 1.0, (0.5, 0.5), 0.0, math.nan, "1"]), label="mpp")
    fps = data.draw(st.sampled_from([1.0, 7.0, -1.0, math.inf]), label="fps")
    max_lagtime = data.draw(st.one_of(st.integers(1, 20), st.sampled_from([2**62, 2**64, 0, 2.0])),
                            label="max_lagtime")
    try:
        result = function(tracks, mpp, fps, max_lagtime=max_lagtime)
    except USER_ERRORS as error:
        event(f"{function.__name__}: {type(error).__name__}")
        if not isinstance(error, MemoryError):
            named_error(error, {"tracks", "mpp", "fps", "max_lagtime", "pos_columns"})
        return
    event(f"{function.__name__}: result")
    native = pd.DataFrame({"p": tracks["particle"].to_numpy(dtype=np.int64),
                           "f": tracks["frame"].to_numpy(dtype=np.int64)})
    seen = native.groupby("p")["f"].nunique() > 1
    if function is qt.diffusion:
        assert list(result.columns) == ["D", "D_stderr", "alpha", "alpha_stderr", "points"]
        assert sorted(result.index) == sorted(seen.index[seen])
    else:
        rows = len(result)
        assert 1 <= rows <= max_lagtime
        assert np.allclose(np.diff(np.asarray(result.index, dtype=np.float64)),
                           1 / fps) if rows > 1 else True
        if function is qt.imsd:
            assert sorted(result.columns) == sorted(seen.index[seen])
            assert not np.any(np.asarray(result, dtype=np.float64) < 0)


@pytest.mark.usefixtures("small_memory")
@TRACK_FUZZ
@given(tracks=track_table(particle=True), data=st.data())
def test_render_draws_or_raises_a_documented_error(tracks, data):
    pixel_size = data.draw(st.sampled_from([0.5, 1.0, 4.0, 0.0, -1.0, math.nan, 0.05]),
                           label="pixel_size")
    value = data.draw(st.sampled_from([None, "intensity", "x"]), label="value")
    # Grids of more than ten million cells are a legitimate request of their own cost (the raw
    # renderers, another extension, do not see this module's memory cap): left out.
    real = [tracks[a].to_numpy(np.float64, na_value=np.nan) for a in ("z", "y", "x")
            if a in tracks and tracks[a].dtype.kind in "iuf"]
    spans = [np.ptp(v[np.isfinite(v)]) if np.isfinite(v).any() else 0.0 for v in real]
    if pixel_size > 0:
        assume(np.prod([s / pixel_size + 2 for s in spans]) < 1e7)
    try:
        image = qt.render(tracks, pixel_size, value=value)
    except (*USER_ERRORS, OverflowError) as error:
        event(f"render: {type(error).__name__}")
        return
    event("render: image")
    assert image.intensity.shape == image.counts.shape
    assert image.value is None or image.value.shape == image.counts.shape
    assert np.all(image.intensity[image.counts == 0] == 0)


SAMPLE_TYPES = ["u1", "u2", ">u2", "i2", "i4", "i8", "f2", ">f2", "f4", ">f4", "f8", "g"]


@st.composite
def movie_array(draw):
    """A (T, Y, X) or (T, Z, Y, X) movie of random sample type, layout and values."""
    ndim = draw(st.sampled_from([2, 2, 3]))
    shape = (draw(st.integers(0, 3)), *(draw(st.integers(0, 10)) for _ in range(ndim)))
    values = draw(float_values(shape)).astype(np.float64)
    dtype = np.dtype(draw(st.sampled_from(SAMPLE_TYPES)))
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        with np.errstate(invalid="ignore"):
            values = np.nan_to_num(values, nan=0.0, posinf=info.max, neginf=info.min)
        values = np.clip(np.round(values), info.min, info.max)
        if draw(st.booleans()) and values.size:
            values.flat[0] = info.max
    with np.errstate(all="ignore"):
        return lay_out(draw, values.astype(dtype))


@TRACK_FUZZ
@given(movie=movie_array(), data=st.data())
def test_batch_gives_locate_frame_by_frame_or_raises_a_documented_error(movie, data):
    threshold = data.draw(st.sampled_from(["auto", 0.5, 1.0, 1e30, -math.inf]), label="threshold")
    method = data.draw(st.sampled_from([None, "radial_symmetry", "gaussian_fitting"]),
                       label="method")
    kwargs = {"threshold": threshold, "min_distance": 1.0, "method": method, "window": 3}
    try:
        table = qt.batch(movie, progress=False, **kwargs)
    except (*USER_ERRORS, qt.MovieError) as error:
        event(f"batch: {type(error).__name__}: {str(error)[:40]}")
        return
    event("batch: table")
    stuck = table.attrs.get("stuck_pixels")
    frames = [qt.locate(np.asarray(movie[t]), frame_number=t, stuck_pixels=stuck, **kwargs)
              for t in range(len(movie))]
    expected = pd.concat(frames, ignore_index=True) if frames else table.iloc[:0]
    pd.testing.assert_frame_equal(table, expected.astype(table.dtypes.to_dict()), check_exact=True)


def _bytes_of(result):
    """A result of quorlin_track._native as comparable bytes: arrays by dtype, shape and bytes."""
    items = result.values() if isinstance(result, dict) else result if isinstance(result, tuple) else (result,)
    return [(a.dtype.str, a.shape, a.tobytes()) for a in map(np.asarray, items)]


@TRACK_FUZZ
@given(data=st.data())
def test_native_kernels_read_any_layout_as_its_contiguous_copy(data):
    """Every array the native kernels read, in any memory layout (views at an odd byte offset of a
    buffer among them, which must not be read in place), gives the result of its C-contiguous
    copy."""
    from quorlin_track import _native

    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1), label="seed"))
    sample = data.draw(st.sampled_from(["f4", "f8", "u2", "u1"]), label="sample type")
    frame = (50 + 100 * rng.random((12, 14))).astype(sample)
    volume = rng.random((7, 8, 9)).astype(np.float32)
    positions = np.cumsum(rng.normal(0, 1, (9, 2)), axis=0)
    calls = {
        "refine_spots": (frame, rng.uniform(0, 12, 5), rng.uniform(0, 14, 5), 5, None, 1.0, 0.0),
        "bandpass": (frame.astype(np.float32), 1.0, 3.0),
        "link_particles": (rng.uniform(0, 4, (9, 3)).astype(np.float32), np.array([0, 4, 9], np.uint64),
                           np.array([0, 1], np.int64), 2.0, 1, None),
        "track_geometry": (positions, np.array([0, 5, 9], np.int64)),
        "displacement_sums": (np.array([0, 1, 3, 4, 5, 0, 1, 2, 4], np.int64), positions,
                              np.array([0, 5, 9], np.int64), 3),
        "measure_volume_spots": (volume, rng.uniform(0, 7, (4, 3)).astype(np.float32), 3, False),
    }
    name = data.draw(st.sampled_from(sorted(calls)), label="kernel")
    laid = [lay_out(data.draw, a) if isinstance(a, np.ndarray) else a for a in calls[name]]
    contiguous = [np.ascontiguousarray(a) if isinstance(a, np.ndarray) else a for a in laid]
    kernel = getattr(_native, name)
    assert _bytes_of(kernel(*laid)) == _bytes_of(kernel(*contiguous))
