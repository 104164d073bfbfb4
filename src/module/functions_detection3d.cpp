// Binding of 3-D peak detection: search, correlation scoring and filtering, localization, budget.
#include <array>
#include <optional>

#include "localize/detect_and_localize.h"
#include "convert.h"
#include "functions.h"
#include "results.h"

namespace quorlin::py {
namespace {

constexpr const char* kDetectPeaks3dParams[] = {"array",
                                                "extent",
                                                "threshold",
                                                "min_distance",
                                                "localization_window_size",
                                                "localization_method",
                                                "correlation_sigmas",
                                                "correlation_threshold",
                                                "max_num_peaks"};
constexpr Signature kDetectPeaks3dSig{"rs_detect_peaks3d", kDetectPeaks3dParams};

PyObject* rs_detect_peaks3d(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_frame(kDetectPeaks3dSig, args, nargs, kwnames, [](const BoundArgs& a) {
    const auto volume = to_array<float, 3>(a[0]);
    PyObject* const extent_items = to_tuple(a[1]);
    const float threshold = to_f32(a[2]);
    const float min_distance = to_f32(a[3]);
    const auto window_size = to_optional(a[4], to_u64);
    const auto method_name = to_optional(a[5], to_text);
    const auto sigma_items = to_optional(a[6], to_tuple);
    const auto correlation_threshold = to_optional(a[7], to_f32);
    const auto max_num_peaks = to_optional(a[8], to_u64);

    // The items of both tuples are read before the search: the search cannot fail, so the errors
    // and their order are those of reading the widths just before the scoring, and every stage
    // reads the volume as it is after the last Python code that the item conversions can run.
    const Extent3d extent = tuple_floats<6>(extent_items);
    std::optional<std::array<float, 3>> sigmas;
    if (sigma_items) sigmas = tuple_floats<3>(*sigma_items);
    const auto view = take_view(volume);

    const DetectionRequest<3> request{extent, threshold, min_distance, method_name, window_size,
                                      max_num_peaks, {sigmas, correlation_threshold}};
    PeakArrays arrays = peak_arrays(detect_and_localize(view.view, request));
    PyRef correlations = arrays.correlations ? to_numpy(std::move(*arrays.correlations))
                                             : PyRef::borrow(Py_None);
    return make_tuple(to_numpy(std::move(arrays.positions)),
                      to_numpy(std::move(arrays.intensities)), std::move(correlations));
  });
}

}  // namespace

const FunctionEntry kRsDetectPeaks3d{kDetectPeaks3dSig, rs_detect_peaks3d};

}  // namespace quorlin::py
