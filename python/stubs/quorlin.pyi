"""Types of the raw module: peak detection, radial-symmetry localization, linking, rendering."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

_Float32Array: TypeAlias = npt.NDArray[np.float32]
_UInt32Array: TypeAlias = npt.NDArray[np.uint32]
_Int32Array: TypeAlias = npt.NDArray[np.int32]
# Narrowed to 32 bits: anything with a float or an index conversion.
_Real: TypeAlias = SupportsFloat | SupportsIndex
# Items are read as floats by index; longer tuples are accepted.
_Extent: TypeAlias = tuple[_Real, ...]
_Extent2d: TypeAlias = tuple[float, float, float, float]
_Extent3d: TypeAlias = tuple[float, float, float, float, float, float]

def rs_detect_peaks(
    array: _Float32Array,
    extent: _Extent,
    threshold: _Real,
    min_distance: _Real,
    localization_method: str | None,
    localization_window_size: SupportsIndex | None,
    max_num_peaks: SupportsIndex | None,
) -> tuple[_Float32Array, _Float32Array]: ...
def rs_detect_peaks3d(
    array: _Float32Array,
    extent: _Extent,
    threshold: _Real,
    min_distance: _Real,
    localization_window_size: SupportsIndex | None,
    localization_method: str | None,
    correlation_sigmas: _Extent | None,
    correlation_threshold: _Real | None,
    max_num_peaks: SupportsIndex | None,
) -> tuple[_Float32Array, _Float32Array, _Float32Array | None]: ...
def rs_draw_tracks(
    matrix_x_y_intensity: _Float32Array,
    track_end_indices: _Int32Array,
    extent: _Extent,
    pixel_size: _Real,
) -> tuple[_Float32Array, _UInt32Array, _Extent2d]: ...
def rs_draw_tracks_3d(
    matrix_x_y_z_intensity: _Float32Array,
    track_end_indices: _Int32Array,
    extent: _Extent,
    pixel_size: _Real,
) -> tuple[_Float32Array, _UInt32Array, _Extent3d]: ...
def rs_draw_tracks_value(
    matrix_x_y_intensity_value: _Float32Array,
    track_end_indices: _Int32Array,
    extent: _Extent,
    pixel_size: _Real,
) -> tuple[_Float32Array, _Float32Array, _UInt32Array, _Extent2d]: ...
def rs_draw_tracks_value_3d(
    matrix_x_y_z_intensity_value: _Float32Array,
    track_end_indices: _Int32Array,
    extent: _Extent,
    pixel_size: _Real,
) -> tuple[_Float32Array, _Float32Array, _UInt32Array, _Extent3d]: ...
def rs_radial_symmetry_2d(array: _Float32Array) -> tuple[float, float]: ...
def rs_radial_symmetry_3d(array: _Float32Array) -> tuple[float, float, float]: ...
def rs_link_points(
    points_list: Sequence[_Float32Array],
    max_distance: _Real,
    max_skip: SupportsIndex,
    max_intensity_ratio: _Real,
) -> tuple[_Float32Array, _UInt32Array]: ...
def rs_link_points_3d(
    points_list: Sequence[_Float32Array],
    max_distance: _Real,
    max_skip: SupportsIndex,
) -> tuple[_Float32Array, _UInt32Array]: ...
