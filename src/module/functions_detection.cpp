// Binding of 2-D peak detection with optional sub-pixel localization.
#include "localize/detect_and_localize.h"
#include "convert.h"
#include "functions.h"
#include "results.h"

namespace quorlin::py {
namespace {

constexpr const char* kDetectPeaksParams[] = {
    "array",         "extent", "threshold", "min_distance", "localization_method", "localization_window_size",
    "max_num_peaks"};
constexpr Signature kDetectPeaksSig{"rs_detect_peaks", kDetectPeaksParams};

PyObject* rs_detect_peaks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame(kDetectPeaksSig, args, nargs, kwnames, [](const BoundArgs& a) {
    const auto frame = to_array<float, 2>(a[0]);
    PyObject* extent_items = to_tuple(a[1]);
    const float threshold = to_f32(a[2]);
    const float min_distance = to_f32(a[3]);
    const auto method = to_optional(a[4], to_text);
    const auto window_size = to_optional(a[5], to_u64);
    const auto max_num_peaks = to_optional(a[6], to_u64);
    const Extent2d extent = tuple_floats<4>(extent_items);
    const auto view = take_view(frame);

    const DetectionRequest<2> request{extent, threshold, min_distance, method, window_size, max_num_peaks, {}};
    PeakArrays arrays = peak_arrays(detect_and_localize(view.view, request));
    return make_tuple(to_numpy(std::move(arrays.positions)), to_numpy(std::move(arrays.intensities)));
  });
}

}  // namespace

const FunctionEntry kRsDetectPeaks{kDetectPeaksSig, rs_detect_peaks};

}  // namespace quorlin::py
