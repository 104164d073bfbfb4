"""Shared pieces of the reliability tests: typical calls of all ten functions on fixed data, the
shape rules every result must follow, bitwise comparison of results, and process memory figures."""

import functools
import json
import math
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np

import quorlin

# Set by tools/sanitize.sh. Under AddressSanitizer a failed allocation aborts the process instead
# of raising, and the allocator's quarantine makes RSS figures meaningless.
SANITIZED = os.environ.get("QUORLIN_TEST_SANITIZED") == "1"

FUNCTION_NAMES = (
    "rs_detect_peaks",
    "rs_detect_peaks3d",
    "rs_draw_tracks",
    "rs_draw_tracks_3d",
    "rs_draw_tracks_value",
    "rs_draw_tracks_value_3d",
    "rs_radial_symmetry_2d",
    "rs_radial_symmetry_3d",
    "rs_link_points",
    "rs_link_points_3d",
)

# The exceptions a call may raise (besides what a user-defined __float__/__index__ raises itself).
DOCUMENTED_ERRORS = (TypeError, ValueError, IndexError, OverflowError, MemoryError, UnicodeEncodeError)


# ---------------------------------------------------------------------------------------------
# Fixed input data


def spot_frame(shape=(48, 48), count=18, seed=1):
    """Gaussian spots (sigma 1.3 pixels) of distinct amplitudes on a weak noise floor."""
    rng = np.random.default_rng(seed)
    frame = rng.normal(0.0, 0.01, size=shape)
    reach = 6
    for k in range(count):
        centre = [rng.uniform(3, n - 4) for n in shape]
        lo = [max(0, int(c) - reach) for c in centre]
        hi = [min(n, int(c) + reach + 1) for c, n in zip(centre, shape)]
        axes = [np.arange(a, b, dtype=np.float64) - c for a, b, c in zip(lo, hi, centre)]
        r2 = sum(g**2 for g in np.meshgrid(*axes, indexing="ij"))
        frame[tuple(slice(a, b) for a, b in zip(lo, hi))] += (10.0 + 3.0 * k) * np.exp(
            -r2 / (2 * 1.3**2))
    return frame.astype(np.float32)


def walk_frames(dims, frames=8, particles=25, seed=2):
    """Per-frame point arrays (coordinates, then intensity) of particles on a random walk, with a
    few points missing so that gaps occur."""
    rng = np.random.default_rng(seed)
    pos = rng.uniform(0, 40, size=(particles, dims))
    inten = rng.uniform(5, 10, size=particles)
    out = []
    for _ in range(frames):
        pos = pos + rng.normal(0, 0.3, size=pos.shape)
        keep = rng.random(particles) > 0.1
        rows = np.column_stack([pos[keep], inten[keep] * rng.uniform(0.9, 1.1, keep.sum())])
        out.append(np.ascontiguousarray(rows, dtype=np.float32))
    return out


def track_matrix(columns, tracks=12, points=8, seed=3, span=20.0):
    """A row matrix of random tracks inside [0, span) with positive intensities, and int32 ends."""
    rng = np.random.default_rng(seed)
    rows = []
    for _ in range(tracks):
        start = rng.uniform(0, span, size=columns)
        steps = rng.normal(0, 1.0, size=(points, columns))
        rows.append(np.abs(start + np.cumsum(steps, axis=0)) % span)
    matrix = np.concatenate(rows).astype(np.float32)
    ends = np.arange(points, points * tracks + 1, points, dtype=np.int32)
    return matrix, ends


def typical_calls():
    """name -> (positional args) of one successful call with a non-trivial result per function."""
    frame = spot_frame()
    volume = spot_frame((20, 22, 24), count=8, seed=4)
    m3, e3 = track_matrix(3)
    m4, e4 = track_matrix(4, seed=5)
    m5, e5 = track_matrix(5, seed=6)
    calls = {
        "rs_detect_peaks": (frame, (0.0, 47.0, 0.0, 47.0), 1.0, 2.0, "radial_symmetry", 7, None),
        "rs_detect_peaks3d": (volume, (0.0, 19.0, 0.0, 21.0, 0.0, 23.0), 1.0, 2.0, 5,
                              "radial_symmetry", (1.0, 1.0, 1.0), None, None),
        "rs_draw_tracks": (m3, e3, (0.0, 20.0, 0.0, 20.0), 0.5),
        "rs_draw_tracks_3d": (m4, e4, (0.0, 20.0, 0.0, 20.0, 0.0, 20.0), 1.0),
        "rs_draw_tracks_value": (m4, e4, (0.0, 20.0, 0.0, 20.0), 0.5),
        "rs_draw_tracks_value_3d": (m5, e5, (0.0, 20.0, 0.0, 20.0, 0.0, 20.0), 1.0),
        "rs_radial_symmetry_2d": (frame[10:17, 20:27].copy(),),
        "rs_radial_symmetry_3d": (volume[5:12, 6:13, 7:14].copy(),),
        "rs_link_points": (walk_frames(2), 1.5, 2, 2.0),
        "rs_link_points_3d": (walk_frames(3, seed=7), 1.5, 1),
    }
    return calls


# ---------------------------------------------------------------------------------------------
# Results


def freeze(value):
    """A hashable, bit-exact image of a result (NaN payloads included)."""
    if isinstance(value, tuple):
        return tuple(freeze(v) for v in value)
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    return ("other", repr(value))


def check_array(a, dtype, ndim, inputs=()):
    """A result array: exact dtype, axes, C-contiguous, writeable, sharing no memory with inputs."""
    assert type(a) is np.ndarray, type(a)
    assert a.dtype == np.dtype(dtype), a.dtype
    assert a.dtype.isnative
    assert a.ndim == ndim, a.shape
    assert a.flags.c_contiguous
    assert a.flags.writeable
    for x in inputs:
        if isinstance(x, np.ndarray):
            assert not np.shares_memory(a, x)


def check_float_tuple(t, n):
    assert type(t) is tuple and len(t) == n, t
    for v in t:
        assert type(v) is float
        # Every float result is a 32-bit value widened exactly.
        assert np.isnan(v) or float(np.float32(v)) == v


def _arrays_in(args):
    for a in args:
        if isinstance(a, np.ndarray):
            yield a
        elif isinstance(a, (list, tuple)):
            yield from (x for x in a if isinstance(x, np.ndarray))


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def check_pixel_positions(positions, intensities, frame, extent):
    """Without localization every peak sits on an interior pixel of its own value, at that pixel's
    position through the extent (first + index * (last - first) / (n - 1) in 32-bit floats; in 3-D
    the product is formed before the division)."""
    dims = frame.ndim
    e = [np.float32(v) for v in extent]
    interior = frame[(slice(1, -1),) * dims]
    with np.errstate(all="ignore"):
        for pos, value in zip(positions, intensities):
            hits = np.argwhere(interior.view(np.uint32) == np.float32(value).view(np.uint32)) + 1
            assert len(hits), value
            ok = False
            for index in hits:
                expect = []
                for axis in range(dims):
                    first, last = e[2 * axis], e[2 * axis + 1]
                    i, n = np.float32(index[axis]), np.float32(frame.shape[axis])
                    if dims == 2:
                        expect.append(i * ((last - first) / (n - np.float32(1))) + first)
                    else:
                        expect.append(((last - first) * i) / (n - np.float32(1)) + first)
                ok = ok or all(same_float(float(a), float(b)) for a, b in zip(pos, expect))
            assert ok, (pos, value)


def check_well_formed(name, result, args):
    """Checks the documented result form of one call of `name` on the bound arguments `args` (a dict
    by parameter name) and the properties any such result has, whatever the input."""
    inputs = list(_arrays_in(args.values()))
    assert type(result) is tuple
    if name in ("rs_radial_symmetry_2d", "rs_radial_symmetry_3d"):
        check_float_tuple(result, 2 if name.endswith("2d") else 3)
        return
    if name in ("rs_detect_peaks", "rs_detect_peaks3d"):
        dims = 2 if name == "rs_detect_peaks" else 3
        assert len(result) == dims
        positions, intensities = result[0], result[1]
        check_array(positions, np.float32, 2, inputs)
        check_array(intensities, np.float32, 1, inputs)
        k = intensities.shape[0]
        assert positions.shape == (k, dims)
        cap = args["max_num_peaks"]
        if cap is not None:
            assert k <= int(cap)
        # Brightest first; every intensity is a value of the frame that reaches the threshold.
        assert not np.any(intensities[1:] > intensities[:-1])
        threshold = np.float32(float(args["threshold"]))
        assert not np.any(threshold > intensities)
        assert np.all(np.isin(intensities, np.asarray(args["array"]).ravel()))
        method = args["localization_method"]
        if method is None:
            check_pixel_positions(positions, intensities, np.asarray(args["array"]),
                                  [float(v) for v in args["extent"][: 2 * dims]])
        if dims == 3:
            correlations = result[2]
            if args["correlation_sigmas"] is None or k == 0:
                assert correlations is None
            else:
                check_array(correlations, np.float32, 1, inputs)
                assert correlations.shape == (k,)
                if args["correlation_threshold"] is not None:
                    limit = np.float32(float(args["correlation_threshold"]))
                    assert np.all(limit <= correlations)
            if (args["correlation_sigmas"] is None and args["correlation_threshold"] is not None
                    and not np.float32(float(args["correlation_threshold"])) <= 0):
                assert k == 0
        return
    if name in ("rs_link_points", "rs_link_points_3d"):
        width = 3 if name == "rs_link_points" else 4
        matrix, ends = result
        check_array(matrix, np.float32, 2, inputs)
        check_array(ends, np.uint32, 1, inputs)
        assert matrix.shape[1] == width
        n = matrix.shape[0]
        if ends.size == 0:
            assert n == 0
        else:
            sizes = np.diff(np.concatenate([[0], ends.astype(np.int64)]))
            assert np.all(sizes >= 2) and int(ends[-1]) == n
        # Every output row is an input point, bit for bit, used at most as often as it occurs.
        pool = {}
        for f in args["points_list"]:
            for row in np.asarray(f)[:, :width]:
                key = row.astype(np.float32).tobytes()
                pool[key] = pool.get(key, 0) + 1
        for row in matrix:
            key = row.tobytes()
            assert pool.get(key, 0) > 0, row
            pool[key] -= 1
        return
    # Renderers.
    dims = 3 if name.endswith("_3d") else 2
    value = "value" in name
    arrays = result[:-1]
    extent = result[-1]
    assert len(arrays) == (3 if value else 2)
    for a in arrays[:-1]:
        check_array(a, np.float32, dims, inputs)
    check_array(arrays[-1], np.uint32, dims, inputs)
    shape = arrays[0].shape
    for a in arrays:
        assert a.shape == shape
    check_float_tuple(extent, 2 * dims)
    # The grid: n = sat_u64(((upper - lower) + 0.999 p) / p), upper bound lower + p n.
    e = [np.float32(float(v)) for v in args["extent"][: 2 * dims]]
    p = np.float32(float(args["pixel_size"]))
    with np.errstate(all="ignore"):
        for axis in range(dims):
            lo, hi = e[2 * axis], e[2 * axis + 1]
            cells = ((hi - lo) + np.float32(0.999) * p) / p
            expected = 0 if not cells > 0 else int(cells)
            assert shape[axis] == expected, (axis, shape, cells)
            bounds = (float(lo), float(lo + p * np.float32(expected)))
            for got, want in zip(extent[2 * axis:2 * axis + 2], bounds):
                assert got == want or (math.isnan(got) and math.isnan(want)), (extent, bounds)
    counts = arrays[-1]
    for a in arrays[:-1]:
        assert np.all(a[counts == 0] == 0)


# ---------------------------------------------------------------------------------------------
# Processes and memory


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_python(code, timeout=300):
    """Runs code in a fresh interpreter with the same module path; returns its stdout. A failure
    (non-zero status, a signal) fails the calling test with the child's output."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__)), os.path.dirname(os.path.abspath(quorlin.__file__))]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)
    assert proc.returncode == 0, f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


# ---------------------------------------------------------------------------------------------
# Requests that cannot be allocated

UNALLOCATABLE_SETUP = """
import numpy as np
from numpy.lib.stride_tricks import as_strided
import quorlin

m3 = np.array([[0, 0, 1], [5, 5, 2]], np.float32)
m4 = np.array([[0, 0, 0, 1], [5, 5, 5, 2]], np.float32)
m5 = np.array([[0, 0, 0, 1, 1], [5, 5, 5, 2, 2]], np.float32)
ends = np.array([2], np.int32)


def single_peak_volume(n):
    # volume[i, j, k] = base[i + 3j + 9k]: no two voxels of a 3x3x3 neighbourhood share an element,
    # and (1, 1, 1) is the only interior voxel that reads the one bright element.
    base = np.zeros(13 * n, np.float32)
    base[13] = 5.0
    return as_strided(base, shape=(n, n, n), strides=(4, 12, 36), writeable=False)


def centre_peak_frame(n):
    # frame[i, j] = base[i + 3j]; the bright element is read by the centre pixel, and by other
    # pixels too close to the border for a window of n pixels.
    half = n // 2
    base = np.zeros(4 * n, np.float32)
    base[half + 3 * half] = 5.0
    return as_strided(base, shape=(n, n), strides=(4, 12), writeable=False)
"""

# Requests far beyond any machine's memory, by case name: (function, call expression).
UNALLOCATABLE_CASES = {
    "draw_tracks_tiny_pixel": ("rs_draw_tracks",
                               "quorlin.rs_draw_tracks(m3, ends, (0.0, 1e6, 0.0, 1e6), 1e-3)"),
    "draw_tracks_saturated_grid": ("rs_draw_tracks",
                                   "quorlin.rs_draw_tracks(m3, ends, (0.0, 3e38, 0.0, 3e38), 1e-38)"),
    "draw_tracks_one_axis_saturated": ("rs_draw_tracks",
                                       "quorlin.rs_draw_tracks(m3, ends, (0.0, np.inf, 0.0, 1.0), 1.0)"),
    "draw_tracks_value": ("rs_draw_tracks_value",
                          "quorlin.rs_draw_tracks_value(m4, ends, (0.0, 2e5, 0.0, 2e5), 1.0)"),
    "draw_tracks_3d": ("rs_draw_tracks_3d",
                       "quorlin.rs_draw_tracks_3d(m4, ends, (0, 4e3, 0, 4e3, 0, 4e3), 1.0)"),
    "draw_tracks_3d_saturated": ("rs_draw_tracks_3d",
                                 "quorlin.rs_draw_tracks_3d(m4, ends, (0, 3e38) * 3, 1e-38)"),
    "draw_tracks_3d_one_axis_saturated": ("rs_draw_tracks_3d",
                                          "quorlin.rs_draw_tracks_3d(np.zeros((2, 4), np.float32),"
                                          " ends, (0, 1, 0, 1, 0, np.inf), 1.0)"),
    "draw_tracks_value_3d": ("rs_draw_tracks_value_3d",
                             "quorlin.rs_draw_tracks_value_3d(m5, ends, (0, 4e3) * 3, 0.5)"),
    "radial_symmetry_2d": ("rs_radial_symmetry_2d",
                           "quorlin.rs_radial_symmetry_2d("
                           "np.broadcast_to(np.float32(1), (200000, 200000)))"),
    "radial_symmetry_3d": ("rs_radial_symmetry_3d",
                           "quorlin.rs_radial_symmetry_3d("
                           "np.broadcast_to(np.float32(1), (2000, 2000, 2000)))"),
    "detect_peaks3d_window": ("rs_detect_peaks3d",
                              "quorlin.rs_detect_peaks3d(single_peak_volume(2000), (0, 1) * 3, 5.0,"
                              " 0.0, 2000, 'radial_symmetry', None, None, 1)"),
    "detect_peaks_window": ("rs_detect_peaks",
                            "quorlin.rs_detect_peaks(centre_peak_frame(90001), (0.0, 1.0, 0.0, 1.0),"
                            " 5.0, 0.0, 'gaussian_fitting', 90001, 1)"),
    "link_points": ("rs_link_points",
                    "quorlin.rs_link_points([np.broadcast_to(np.float32(1), (4_000_000_000, 3))],"
                    " 1.0, 1, 2.0)"),
    "link_points_3d": ("rs_link_points_3d",
                       "quorlin.rs_link_points_3d("
                       "[np.broadcast_to(np.float32(1), (3_000_000_000, 4))], 1.0, 1)"),
}



@functools.cache
def unallocatable_outcomes():
    """Runs every unallocatable request (three times, the slow detection cases once) in one child
    interpreter: per case the errors raised, whether the typical calls still give their results,
    and the growth of the RSS since before the first case."""
    cases = {k: v[1] for k, v in UNALLOCATABLE_CASES.items()}
    code = UNALLOCATABLE_SETUP + f"""
import gc, json
from reliability_support import freeze, rss_bytes, typical_calls

cases = {cases!r}
calls = typical_calls()
expected = {{n: freeze(getattr(quorlin, n)(*a)) for n, a in calls.items()}}
gc.collect()
before = rss_bytes()
out = {{}}
for name, expression in cases.items():
    errors = []
    # The detection cases scan billions of voxels before they fail; once is enough for them.
    for _ in range(1 if "detect" in name else 3):
        try:
            eval(expression)
            errors.append("no error")
        except BaseException as e:
            errors.append(type(e).__name__)
    usable = all(freeze(getattr(quorlin, n)(*a)) == expected[n] for n, a in calls.items())
    gc.collect()
    out[name] = {{"errors": errors, "usable": usable, "rss_growth": rss_bytes() - before}}
print(json.dumps(out))
"""
    return json.loads(run_python(code, timeout=600).strip().splitlines()[-1])
