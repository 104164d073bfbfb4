"""Python code run by a later argument's conversion (__float__, __index__) resizes, frees or replaces
an array converted before it: the call reads the arrays as they are after the last conversion and
never touches freed memory (the sanitizer run of the suite checks the latter)."""

import numpy as np
import pytest

import quorlin

F = np.float32
RNG = np.random.default_rng(5)
IMAGE = RNG.poisson(20, (40, 40)).astype(F)
VOLUME = RNG.poisson(20, (12, 12, 12)).astype(F)


class Hook:
    """A number whose first float or index conversion runs `action` before giving its value."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def _run(self):
        action, self.action = self.action, lambda: None
        action()

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)


def resize(array, content):
    """Reallocates array in place (the old memory is freed) and fills it with content."""
    def action():
        array.resize(content.shape, refcheck=False)
        array[...] = content
    return action


def tracks(columns, dims):
    """Two short tracks inside (0, 8) on every axis, and their int32 end indices."""
    m = RNG.uniform(0.5, 7.5, (6, columns)).astype(F)
    m[:, dims] = RNG.uniform(1, 5, 6)
    return m, np.array([3, 6], np.int32)


def detect2d():
    frame = np.zeros((512, 512), F)
    args = [frame, (0.0, 39.0, 0.0, 39.0), 25.0, 2.0, "radial_symmetry", 5, 3]
    return quorlin.rs_detect_peaks, args, resize(frame, IMAGE), lambda: args


def detect3d():
    volume = np.zeros((64, 64, 64), F)
    args = [volume, (0.0, 11.0, 0.0, 11.0, 0.0, 11.0), 25.0, 2.0, 5, "radial_symmetry", (1.0, 1.0, 1.0),
            -1.0, 3]
    return quorlin.rs_detect_peaks3d, args, resize(volume, VOLUME), lambda: args


def renderer(function, columns, dims):
    def build():
        matrix, ends = np.zeros((100000, columns), F), np.array([100000], np.int32)
        new_matrix, new_ends = tracks(columns, dims)
        grow = [resize(matrix, new_matrix), resize(ends, new_ends)]
        extent = (0.0, 8.0) * dims
        args = [matrix, ends, extent, 0.5]
        return function, args, lambda: [g() for g in grow], lambda: args
    return build


def linker(function, columns, mutation):
    def build():
        points = [RNG.integers(0, 30, (4000, columns)).astype(F) for _ in range(4)]
        before = [p.copy() for p in points]
        actions = {
            "resize": resize(points[0], points[0][:100].copy()),
            "free": points.clear,
            "replace": lambda: points.__setitem__(1, np.zeros((0, columns), F)),
        }
        args = [points, 1.5, 1, 2.0] if columns == 3 else [points, 1.5, 1]
        # Items the call already holds stay as they were; an item resized in place is read anew.
        expected = (lambda: args) if mutation == "resize" else (lambda: [before] + args[1:])
        return function, args, actions[mutation], expected
    return build


CASES = {
    "rs_detect_peaks": detect2d,
    "rs_detect_peaks3d": detect3d,
    "rs_draw_tracks": renderer(quorlin.rs_draw_tracks, 3, 2),
    "rs_draw_tracks_value": renderer(quorlin.rs_draw_tracks_value, 4, 2),
    "rs_draw_tracks_3d": renderer(quorlin.rs_draw_tracks_3d, 4, 3),
    "rs_draw_tracks_value_3d": renderer(quorlin.rs_draw_tracks_value_3d, 5, 3),
    **{f"{f.__name__}-{m}": linker(f, c, m) for f, c in [(quorlin.rs_link_points, 3), (quorlin.rs_link_points_3d, 4)]
       for m in ["resize", "free", "replace"]},
}


def plain(a):
    """The argument with every Hook replaced by its value."""
    if isinstance(a, Hook):
        return a.value
    return tuple(plain(x) for x in a) if isinstance(a, tuple) else a


def hook_places(args):
    """Every number that a conversion reads after the first argument: (argument, tuple item)."""
    places = []
    for i, a in enumerate(args[1:], 1):
        if isinstance(a, tuple):
            places += [(i, k) for k in range(len(a))]
        elif isinstance(a, (int, float)):
            places.append((i, None))
    return places


@pytest.mark.parametrize("case, place", [
    pytest.param(name, place, id=f"{name}-arg{place[0]}" + ("" if place[1] is None else f"[{place[1]}]"))
    for name, build in CASES.items() for place in hook_places(build()[1])])
def test_later_conversion_changing_an_earlier_array(case, place):
    function, args, action, expected_args = CASES[case]()
    i, k = place
    if k is None:
        args[i] = Hook(args[i], action)
    else:
        args[i] = args[i][:k] + (Hook(args[i][k], action),) + args[i][k + 1:]
    got = function(*args)
    expected = function(*[plain(a) for a in expected_args()])
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(np.asarray(g if g is not None else np.nan),
                                      np.asarray(e if e is not None else np.nan), strict=True)


@pytest.mark.parametrize("function, make_args, name", [
    (quorlin.rs_detect_peaks, lambda a, h: [a, (0.0, 1.0, 0.0, 1.0), h, 0.0, None, None, None], "array"),
    (quorlin.rs_link_points, lambda a, h: [[a], h, 1, 2.0], "points_list"),
])
def test_array_given_other_axes_by_a_later_conversion_is_rejected(function, make_args, name):
    array = np.zeros((300, 3), F)
    hook = Hook(0.5, lambda: array.resize((900,), refcheck=False))
    with pytest.raises(TypeError, match=rf"^argument '{name}': 'ndarray' object cannot be converted to "
                                        r"'PyArray<T, D>'$"):
        function(*make_args(array, hook))
