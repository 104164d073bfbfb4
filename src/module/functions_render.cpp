// Bindings of the track renderers.
#include <array>
#include <cstdint>

#include "render/image.h"
#include "render/image3d.h"
#include "render/value_image.h"
#include "render/value_image3d.h"
#include "convert.h"
#include "functions.h"
#include "results.h"

namespace quorlin::py {
namespace {

/// The extent tuple (lower0, upper0, lower1, upper1[, lower2, upper2]) of a grid.
template <std::size_t N>
PyRef extent_tuple(const RenderGrid<N>& g) {
  if constexpr (N == 2)
    return float_tuple({g.lower[0], g.upper[0], g.lower[1], g.upper[1]});
  else
    return float_tuple({g.lower[0], g.upper[0], g.lower[1], g.upper[1], g.lower[2], g.upper[2]});
}

/// The frame shared by the four renderers: convert (matrix, track_end_indices, extent, pixel_size),
/// read the extent items, render, and return (images..., counts, extent).
template <std::size_t N, std::size_t Images>
PyRef render_call(const BoundArgs& a,
                  RenderedTracks<N, Images> (*render)(View2<float>, View1<std::int32_t>,
                                                      const std::array<float, 2 * N>&, float)) {
  const auto matrix = to_array<float, 2>(a[0]);
  const auto track_end_indices = to_array<std::int32_t, 1>(a[1]);
  PyObject* extent = to_tuple(a[2]);
  const float pixel_size = to_f32(a[3]);
  const auto bounds = tuple_floats<2 * N>(extent);
  const auto matrix_view = take_view(matrix);
  const auto ends_view = take_view(track_end_indices);
  auto rendered = render(matrix_view.view, ends_view.view, bounds, pixel_size);
  if constexpr (Images == 1)
    return make_tuple(to_numpy(std::move(rendered.images[0])), to_numpy(std::move(rendered.counts)),
                      extent_tuple(rendered.grid));
  else
    return make_tuple(to_numpy(std::move(rendered.images[0])),
                      to_numpy(std::move(rendered.images[1])), to_numpy(std::move(rendered.counts)),
                      extent_tuple(rendered.grid));
}

constexpr const char* kDrawTracksParams[] = {"matrix_x_y_intensity", "track_end_indices", "extent",
                                             "pixel_size"};
constexpr Signature kDrawTracksSig{"rs_draw_tracks", kDrawTracksParams};
constexpr const char* kDrawTracks3dParams[] = {"matrix_x_y_z_intensity", "track_end_indices",
                                               "extent", "pixel_size"};
constexpr Signature kDrawTracks3dSig{"rs_draw_tracks_3d", kDrawTracks3dParams};
constexpr const char* kDrawTracksValueParams[] = {"matrix_x_y_intensity_value", "track_end_indices",
                                                  "extent", "pixel_size"};
constexpr Signature kDrawTracksValueSig{"rs_draw_tracks_value", kDrawTracksValueParams};
constexpr const char* kDrawTracksValue3dParams[] = {"matrix_x_y_z_intensity_value",
                                                    "track_end_indices", "extent", "pixel_size"};
constexpr Signature kDrawTracksValue3dSig{"rs_draw_tracks_value_3d", kDrawTracksValue3dParams};

PyObject* rs_draw_tracks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame(kDrawTracksSig, args, nargs, kwnames,
                    [](const BoundArgs& a) { return render_call<2, 1>(a, render_track_image); });
}

PyObject* rs_draw_tracks_3d(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame(kDrawTracks3dSig, args, nargs, kwnames,
                    [](const BoundArgs& a) { return render_call<3, 1>(a, render_track_volume); });
}

PyObject* rs_draw_tracks_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return call_frame(kDrawTracksValueSig, args, nargs, kwnames,
                    [](const BoundArgs& a) { return render_call<2, 2>(a, render_value_image); });
}

PyObject* rs_draw_tracks_value_3d(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return call_frame(kDrawTracksValue3dSig, args, nargs, kwnames,
                    [](const BoundArgs& a) { return render_call<3, 2>(a, render_value_volume); });
}

}  // namespace

const FunctionEntry kRsDrawTracks{kDrawTracksSig, rs_draw_tracks};
const FunctionEntry kRsDrawTracks3d{kDrawTracks3dSig, rs_draw_tracks_3d};
const FunctionEntry kRsDrawTracksValue{kDrawTracksValueSig, rs_draw_tracks_value};
const FunctionEntry kRsDrawTracksValue3d{kDrawTracksValue3dSig, rs_draw_tracks_value_3d};

}  // namespace quorlin::py
