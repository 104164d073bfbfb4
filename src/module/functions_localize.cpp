// Bindings of the stand-alone estimators.
#include "../core/errors.h"
#include "../core/radial_symmetry2d.h"
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
    const auto window = to_array<float, 2>(a[0]);
    const auto offset = radial_symmetry_2d(window.view);
    if (!offset) throw ValueError("Radial symmetry localization failed");
    return float_tuple({offset->d0, offset->d1});
  });
}

}  // namespace

const FunctionEntry kRsRadialSymmetry2d{kRadialSymmetry2dSig, rs_radial_symmetry_2d};

}  // namespace quorlin::py
