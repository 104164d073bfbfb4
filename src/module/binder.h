// Binds a call's positional and keyword arguments to a function's parameter list.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "py_ref.h"

namespace quorlin::py {

/// A module function's Python name and its ordered parameter names; every parameter is
/// positional-or-keyword and required.
struct Signature {
  const char* name;
  std::span<const char* const> params;
};

/// One bound argument: the object (borrowed for the duration of the call) and its parameter name.
struct Arg {
  PyObject* obj;
  const char* name;
};

/// The arguments of one call in parameter order. At most this many parameters per function.
class BoundArgs {
 public:
  static constexpr std::size_t kMaxParams = 12;
  Arg operator[](std::size_t i) const { return Arg{objs_[i], sig_->params[i]}; }

 private:
  friend BoundArgs bind(const Signature&, PyObject* const*, Py_ssize_t, PyObject*);
  const Signature* sig_ = nullptr;
  std::array<PyObject*, kMaxParams> objs_{};
};

/// Binds vectorcall arguments (positional args, then the values named by kwnames) to sig.
/// Raises TypeError with the interpreter's wording for a surplus positional argument, an
/// unexpected keyword, a parameter given twice or missing parameters.
BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorlin::py
