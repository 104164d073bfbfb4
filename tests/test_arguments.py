"""The calling frame: binding, conversion kinds, views and the module itself."""

import inspect
import re

import numpy as np
import pytest

import quorlin

TABLE = [
    ("rs_detect_peaks", ["array", "extent", "threshold", "min_distance", "localization_method",
                         "localization_window_size", "max_num_peaks"]),
    ("rs_detect_peaks3d", ["array", "extent", "threshold", "min_distance", "localization_window_size",
                           "localization_method", "correlation_sigmas", "correlation_threshold",
                           "max_num_peaks"]),
    ("rs_draw_tracks", ["matrix_x_y_intensity", "track_end_indices", "extent", "pixel_size"]),
    ("rs_draw_tracks_3d", ["matrix_x_y_z_intensity", "track_end_indices", "extent", "pixel_size"]),
    ("rs_draw_tracks_value", ["matrix_x_y_intensity_value", "track_end_indices", "extent", "pixel_size"]),
    ("rs_draw_tracks_value_3d", ["matrix_x_y_z_intensity_value", "track_end_indices", "extent",
                                 "pixel_size"]),
    ("rs_radial_symmetry_2d", ["array"]),
    ("rs_radial_symmetry_3d", ["array"]),
    ("rs_link_points", ["points_list", "max_distance", "max_skip", "max_intensity_ratio"]),
    ("rs_link_points_3d", ["points_list", "max_distance", "max_skip"]),
]


def spot(shape=(7, 7), center=(3.2, 2.8), sigma=1.3):
    yy, xx = np.mgrid[0 : shape[0], 0 : shape[1]]
    return np.exp(-((yy - center[0]) ** 2 + (xx - center[1]) ** 2) / (2 * sigma**2)).astype(np.float32)


def test_module_holds_exactly_the_ten_functions_in_table_order():
    names = [n for n in vars(quorlin) if not n.startswith("__")]
    assert names == [name for name, _ in TABLE]
    assert quorlin.__doc__ == ""


@pytest.mark.parametrize("name, params", TABLE)
def test_signatures_list_required_positional_or_keyword_parameters(name, params):
    fn = getattr(quorlin, name)
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty
    assert fn.__doc__ in (None, "")


@pytest.mark.parametrize("name, params", TABLE)
def test_binding_errors_use_the_interpreters_wording(name, params):
    fn = getattr(quorlin, name)
    n = len(params)
    with pytest.raises(TypeError, match=re.escape(
            f"{name}() takes {n} positional argument{'s' if n != 1 else ''} but {n + 1} were given")):
        fn(*([None] * (n + 1)))
    with pytest.raises(TypeError, match=re.escape(f"{name}() got an unexpected keyword argument 'bogus'")):
        fn(*([None] * n), bogus=1)
    with pytest.raises(TypeError, match=re.escape(f"{name}() got multiple values for argument '{params[0]}'")):
        fn(*([None] * n), **{params[0]: None})
    with pytest.raises(TypeError, match=re.escape(
            f"{name}() missing 1 required positional argument: '{params[-1]}'")):
        fn(*([None] * (n - 1)))


@pytest.mark.parametrize(
    "given, missing",
    [
        (0, "4 required positional arguments: 'points_list', 'max_distance', 'max_skip', and 'max_intensity_ratio'"),
        (2, "2 required positional arguments: 'max_skip' and 'max_intensity_ratio'"),
    ],
)
def test_missing_arguments_are_listed(given, missing):
    with pytest.raises(TypeError, match=re.escape(f"rs_link_points() missing {missing}")):
        quorlin.rs_link_points(*([None] * given))


def test_binding_errors_come_before_conversion_errors():
    # A bad first argument is not looked at when the call cannot be bound.
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        quorlin.rs_radial_symmetry_2d([1, 2], x=3)


def test_keyword_calls_equal_positional_calls():
    w = spot()
    assert quorlin.rs_radial_symmetry_2d(array=w) == quorlin.rs_radial_symmetry_2d(w)


class Sub(np.ndarray):
    pass


ARRAY_TARGET = "object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "value, type_name",
    [
        ([[1.0, 2.0], [3.0, 4.0]], "list"),
        (3.0, "float"),
        (None, "NoneType"),
        (np.float32(1.0), "float32"),
        (np.zeros((3, 3), np.float64), "ndarray"),
        (np.zeros((3, 3), np.int32), "ndarray"),
        (np.zeros((3, 3), ">f4" if np.little_endian else "<f4"), "ndarray"),
        (np.zeros(9, np.float32), "ndarray"),
        (np.zeros((3, 3, 1), np.float32), "ndarray"),
        (np.array(1.0, np.float32), "ndarray"),
    ],
)
def test_array_conversion_failure(value, type_name):
    with pytest.raises(TypeError, match=re.escape(f"argument 'array': '{type_name}' {ARRAY_TARGET}")) as info:
        quorlin.rs_radial_symmetry_2d(value)
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value.__cause__) == f"'{type_name}' {ARRAY_TARGET}"


def test_array_subclasses_are_accepted():
    w = spot()
    assert quorlin.rs_radial_symmetry_2d(w.view(Sub)) == quorlin.rs_radial_symmetry_2d(w)


def unaligned_copy(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def odd_strided_copy(a):
    # Records of 5 bytes: a float32 field whose stride is not a multiple of its size.
    rec = np.zeros(a.shape, dtype=np.dtype([("v", "<f4"), ("pad", "u1")], align=False))
    rec["v"] = a
    return rec["v"]


@pytest.mark.parametrize(
    "make",
    [
        np.asfortranarray,
        lambda w: w[::-1, ::-1].copy()[::-1, ::-1],
        lambda w: np.ascontiguousarray(w.T).T,
        lambda w: np.pad(w, 3)[3:-3, 3:-3],
        lambda w: np.repeat(np.repeat(w, 2, 0), 3, 1)[::2, ::3],
        unaligned_copy,
        odd_strided_copy,
    ],
    ids=["fortran", "reversed", "transposed", "sliced", "stepped", "unaligned", "odd-stride"],
)
def test_strided_views_equal_their_c_ordered_copies(make):
    w = spot(shape=(7, 9), center=(3.4, 4.3))
    view = make(w)
    np.testing.assert_array_equal(view, w)
    assert quorlin.rs_radial_symmetry_2d(view) == quorlin.rs_radial_symmetry_2d(np.ascontiguousarray(w))


def test_inputs_are_never_written():
    w = spot()
    before = w.copy()
    w.flags.writeable = False
    quorlin.rs_radial_symmetry_2d(w)
    np.testing.assert_array_equal(w, before)


def test_importing_the_module_does_not_import_numpy(python_subprocess):
    proc = python_subprocess("""
        import sys, quorlin
        assert 'numpy' not in sys.modules, 'numpy imported at import'
        print('ok')
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_second_initialisation_raises_import_error(python_subprocess):
    proc = python_subprocess("""
        import sys, quorlin
        del sys.modules['quorlin']
        try:
            import quorlin
        except ImportError as e:
            print('ImportError:', e)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ImportError: quorlin may only be initialised once per interpreter process"


FRAME = np.zeros((8, 8), np.float32)
EXTENT2 = (0.0, 7.0, 0.0, 7.0)


def detect(**overrides):
    args = dict(array=FRAME, extent=EXTENT2, threshold=0.5, min_distance=1.0, localization_method=None,
                localization_window_size=None, max_num_peaks=None)
    args.update(overrides)
    return quorlin.rs_detect_peaks(**args)


def draw(**overrides):
    args = dict(matrix_x_y_intensity=np.zeros((0, 3), np.float32),
                track_end_indices=np.zeros(0, np.int32), extent=(0.0, 4.0, 0.0, 3.0), pixel_size=1.0)
    args.update(overrides)
    return quorlin.rs_draw_tracks(**args)


@pytest.mark.parametrize(
    "overrides, message",
    [
        (dict(extent=[0.0, 7.0, 0.0, 7.0]), "argument 'extent': 'list' object cannot be converted to 'PyTuple'"),
        (dict(threshold="a"), "argument 'threshold': must be real number, not str"),
        (dict(min_distance=None), "argument 'min_distance': must be real number, not NoneType"),
        (dict(localization_method=5), "argument 'localization_method': 'int' object cannot be converted to 'PyString'"),
        (dict(localization_window_size=7.0),
         "argument 'localization_window_size': 'float' object cannot be interpreted as an integer"),
        (dict(max_num_peaks="3"), "argument 'max_num_peaks': 'str' object cannot be interpreted as an integer"),
        # The first failing conversion in parameter order is the one raised.
        (dict(array=[1.0], extent=[1.0], threshold="a"), f"argument 'array': 'list' {ARRAY_TARGET}"),
        (dict(extent=[1.0], threshold="a"), "argument 'extent': 'list'"),
    ],
)
def test_conversion_failures_carry_the_argument_prefix(overrides, message):
    with pytest.raises(TypeError, match="^" + re.escape(message)) as info:
        detect(**overrides)
    assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize("value, error", [(-1, OverflowError), (2**64, OverflowError)])
def test_integer_range_errors_are_raised_without_prefix(value, error):
    with pytest.raises(error) as info:
        detect(max_num_peaks=value)
    assert not str(info.value).startswith("argument")
    with pytest.raises(error):
        quorlin.rs_link_points([], 1.0, value, 2.0)


def test_text_without_utf8_form_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        detect(localization_method="\ud800")


def test_numbers_with_float_or_index_conversion_are_accepted():
    class Idx:
        def __index__(self):
            return 3

    ref = detect(threshold=0.5, max_num_peaks=3)
    for got in (detect(threshold=np.float64(0.5), max_num_peaks=Idx()), detect(threshold=True, max_num_peaks=np.int64(3))):
        assert [a.shape for a in got] == [a.shape for a in ref]


@pytest.mark.parametrize(
    "points_list, message",
    [
        ("abc", "argument 'points_list': Can't extract `str` to `Vec`"),
        (5, "argument 'points_list': 'int' object cannot be converted to 'Sequence'"),
        ([np.zeros((2, 3), np.float32), np.zeros((2, 3))], f"argument 'points_list': 'ndarray' {ARRAY_TARGET}"),
        ([[1.0, 2.0, 3.0]], f"argument 'points_list': 'list' {ARRAY_TARGET}"),
    ],
)
def test_frames_conversion(points_list, message):
    with pytest.raises(TypeError, match="^" + re.escape(message)):
        quorlin.rs_link_points(points_list, 1.0, 0, 2.0)


def test_frames_accept_any_sequence_of_arrays():
    frames = [np.array([[0.0, 0.0, 1.0]], np.float32), np.array([[0.5, 0.0, 1.0]], np.float32)]
    ref = quorlin.rs_link_points(frames, 1.0, 0, 2.0)
    for seq in (tuple(frames), np.stack(frames)):
        got = quorlin.rs_link_points(seq, 1.0, 0, 2.0)
        for a, b in zip(got, ref):
            np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize(
    "extent, error, message",
    [
        ((0, 1, "a", 3), TypeError, "must be real number, not str"),
        ((0, 1, 2), IndexError, "tuple index out of range"),
    ],
)
def test_extent_items_are_read_without_prefix(extent, error, message):
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        draw(extent=extent)


def test_renderers_reject_unsigned_end_indices():
    with pytest.raises(TypeError, match=re.escape(f"argument 'track_end_indices': 'ndarray' {ARRAY_TARGET}")):
        draw(track_end_indices=np.zeros(0, np.uint32))


def test_result_arrays_are_writeable_contiguous_and_outlive_their_inputs():
    frames = [np.array([[0.0, 0.0, 1.0], [5.0, 5.0, 2.0]], np.float32),
              np.array([[0.5, 0.0, 1.5], [5.0, 5.5, 2.0]], np.float32)]
    matrix, ends = quorlin.rs_link_points(frames, 1.0, 0, 2.0)
    del frames
    for a in (matrix, ends):
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    assert matrix.dtype == np.float32 and ends.dtype == np.uint32
    image, counts, extent = draw(matrix_x_y_intensity=matrix, track_end_indices=ends.astype(np.int32))
    del matrix
    image += 1.0
    counts[0, 0] = 7
    assert image.shape == (4, 3) and counts[0, 0] == 7 and extent == (0.0, 4.0, 0.0, 3.0)
