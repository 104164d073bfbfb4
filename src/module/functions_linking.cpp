// Bindings of the linkers.
#include "link/linking.h"
#include "link/linking3d.h"
#include "convert.h"
#include "functions.h"
#include "results.h"

namespace quorlin::py {
namespace {

PyRef track_result(TrackArrays&& tracks) {
  return make_tuple(to_numpy(std::move(tracks.matrix)),
                    to_numpy(std::move(tracks.track_end_indices)));
}

constexpr const char* kLinkPointsParams[] = {"points_list", "max_distance", "max_skip",
                                             "max_intensity_ratio"};
constexpr Signature kLinkPointsSig{"rs_link_points", kLinkPointsParams};

PyObject* rs_link_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame(kLinkPointsSig, args, nargs, kwnames, [](const BoundArgs& a) {
    auto points = to_frames(a[0]);
    const float max_distance = to_f32(a[1]);
    const std::uint64_t max_skip = to_u64(a[2]);
    const float max_intensity_ratio = to_f32(a[3]);
    const auto frames = take_views(std::move(points));
    return track_result(link_points(frames.views, max_distance, max_skip, max_intensity_ratio));
  });
}

constexpr const char* kLinkPoints3dParams[] = {"points_list", "max_distance", "max_skip"};
constexpr Signature kLinkPoints3dSig{"rs_link_points_3d", kLinkPoints3dParams};

PyObject* rs_link_points_3d(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame(kLinkPoints3dSig, args, nargs, kwnames, [](const BoundArgs& a) {
    auto points = to_frames(a[0]);
    const float max_distance = to_f32(a[1]);
    const std::uint64_t max_skip = to_u64(a[2]);
    const auto frames = take_views(std::move(points));
    return track_result(link_points_3d(frames.views, max_distance, max_skip));
  });
}

}  // namespace

const FunctionEntry kRsLinkPoints{kLinkPointsSig, rs_link_points};
const FunctionEntry kRsLinkPoints3d{kLinkPoints3dSig, rs_link_points_3d};

}  // namespace quorlin::py
