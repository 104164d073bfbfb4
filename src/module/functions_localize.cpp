// Bindings of the stand-alone estimators.
#include "common/errors.h"
#include "localize/radial_symmetry2d.h"
#include "localize/radial_symmetry3d.h"
#include "convert.h"
#include "functions.h"
#include "results.h"

namespace quorlin::py {
namespace {

constexpr const char* kRadialSymmetry2dParams[] = {"array"};
constexpr Signature kRadialSymmetry2dSig{"rs_radial_symmetry_2d", kRadialSymmetry2dParams};

PyObject* rs_radial_symmetry_2d(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_frame(kRadialSymmetry2dSig, args, nargs, kwnames, [](const BoundArgs& a) {
    const auto window = take_view(to_array<float, 2>(a[0]));
    const auto offset = radial_symmetry_2d(window.view);
    if (!offset) throw ValueError("Radial symmetry localization failed");
    return float_tuple({(*offset)[0], (*offset)[1]});
  });
}

constexpr const char* kRadialSymmetry3dParams[] = {"array"};
constexpr Signature kRadialSymmetry3dSig{"rs_radial_symmetry_3d", kRadialSymmetry3dParams};

PyObject* rs_radial_symmetry_3d(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return call_frame(kRadialSymmetry3dSig, args, nargs, kwnames, [](const BoundArgs& a) {
    const auto window = take_view(to_array<float, 3>(a[0]));
    const auto centre = radial_symmetry_3d(window.view);
    if (!centre) throw ValueError("3D radial symmetry localization failed");
    return float_tuple({(*centre)[0], (*centre)[1], (*centre)[2]});
  });
}

}  // namespace

const FunctionEntry kRsRadialSymmetry2d{kRadialSymmetry2dSig, rs_radial_symmetry_2d};
const FunctionEntry kRsRadialSymmetry3d{kRadialSymmetry3dSig, rs_radial_symmetry_3d};

}  // namespace quorlin::py
