// The module initialiser and the function table.
#include <string>
#include <vector>

#include "functions.h"

namespace quorlin::py {
namespace {

/// The functions in the order the module adds them.
const FunctionEntry* const kTable[] = {
    &kRsDetectPeaks,
    &kRsDetectPeaks3d,
    &kRsDrawTracks,
    &kRsDrawTracks3d,
    &kRsDrawTracksValue,
    &kRsDrawTracksValue3d,
    &kRsRadialSymmetry2d,
    &kRsRadialSymmetry3d,
    &kRsLinkPoints,
    &kRsLinkPoints3d,
};

/// The docstring holds only the text signature, so introspection reports the parameter names.
std::string text_signature(const Signature& sig) {
  std::string doc = std::string(sig.name) + "(";
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (i > 0) doc += ", ";
    doc += sig.params[i];
  }
  return doc + ")\n--\n\n";
}

std::vector<std::string> g_docs;
std::vector<PyMethodDef> g_methods;
bool g_initialised = false;

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "quorlin", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "quorlin may only be initialised once per interpreter process");
    return nullptr;
  }
  try {
    g_docs.reserve(std::size(kTable));
    for (const FunctionEntry* f : kTable) g_docs.push_back(text_signature(f->signature));
    for (std::size_t i = 0; i < std::size(kTable); ++i) {
      g_methods.push_back(
          PyMethodDef{kTable[i]->signature.name,
                      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kTable[i]->entry)),
                      METH_FASTCALL | METH_KEYWORDS, g_docs[i].c_str()});
    }
    g_methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
  g_module.m_methods = g_methods.data();
  PyObject* module = PyModule_Create(&g_module);
  if (module != nullptr) g_initialised = true;
  return module;
}

}  // namespace
}  // namespace quorlin::py

PyMODINIT_FUNC PyInit_quorlin(void) {
  return quorlin::py::init_module();
}
