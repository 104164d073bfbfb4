// The generic argument binder shared by all module functions.
#include "binder.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace quorlin::py {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_python_error();
}

/// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs bound;
  bound.sig_ = &sig;
  const std::size_t nparams = sig.params.size();
  if (nparams > BoundArgs::kMaxParams) throw std::logic_error("too many parameters in a signature");
  const std::string fname = std::string(sig.name) + "()";

  if (static_cast<std::size_t>(nargs) > nparams) {
    raise_type_error(fname + " takes " + std::to_string(nparams) + " positional argument" +
                     (nparams == 1 ? "" : "s") + " but " + std::to_string(nargs) +
                     (nargs == 1 ? " was" : " were") + " given");
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound.objs_[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = nparams;
    for (std::size_t p = 0; p < nparams; ++p) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[p]) == 0) {
        slot = p;
        break;
      }
    }
    if (slot == nparams) {
      const char* text = PyUnicode_AsUTF8(key);
      if (text == nullptr) throw_python_error();
      raise_type_error(fname + " got an unexpected keyword argument '" + text + "'");
    }
    if (bound.objs_[slot] != nullptr) {
      raise_type_error(fname + " got multiple values for argument '" + sig.params[slot] + "'");
    }
    bound.objs_[slot] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t p = 0; p < nparams; ++p)
    if (bound.objs_[p] == nullptr) missing.push_back(sig.params[p]);
  if (!missing.empty()) {
    raise_type_error(fname + " missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                     quoted_list(missing));
  }
  return bound;
}

}  // namespace quorlin::py
