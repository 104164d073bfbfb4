// Result arrays and tuples.
#include "results.h"

#include <string>

#include "common/errors.h"
#include "numpy_api.h"

namespace quorlin::py {

namespace detail {

namespace {

constexpr const char* kHolderName = "quorlin.result_buffer";

struct Holder {
  void* owned;
  void (*destroy)(void*);
};

void release_holder(PyObject* capsule) {
  auto* h = static_cast<Holder*>(PyCapsule_GetPointer(capsule, kHolderName));
  if (h == nullptr) {
    PyErr_Clear();
    return;
  }
  h->destroy(h->owned);
  delete h;
}

[[noreturn]] void shape_error(const char* kind, const char* description) {
  throw quorlin::ValueError(std::string("Error creating ndarray: ShapeError/") + kind + ": " +
                            description);
}

}  // namespace

PyRef make_holder(void* owned, void (*destroy)(void*)) {
  auto* h = new Holder{owned, destroy};
  PyObject* capsule = PyCapsule_New(h, kHolderName, release_holder);
  if (capsule == nullptr) {
    destroy(owned);
    delete h;
    throw_python_error();
  }
  return PyRef(capsule);
}

void check_shape(std::uint64_t count, const std::vector<std::uint64_t>& shape) {
  std::uint64_t product = 1;
  for (auto d : shape) {
    if (d > static_cast<std::uint64_t>(NPY_MAX_INTP))
      shape_error("Overflow", "arithmetic overflow");
    if (d != 0 && product > static_cast<std::uint64_t>(NPY_MAX_INTP) / d)
      shape_error("Overflow", "arithmetic overflow");
    product *= d;
  }
  if (product != count) shape_error("IncompatibleShape", "incompatible shapes");
}

PyRef wrap_buffer(void* data, const std::vector<std::uint64_t>& shape, ResultElement elem,
                  PyRef holder) {
  ensure_numpy();
  npy_intp dims[3] = {0, 0, 0};
  for (std::size_t a = 0; a < shape.size(); ++a) dims[a] = static_cast<npy_intp>(shape[a]);
  PyArray_Descr* descr =
      PyArray_DescrFromType(elem == ResultElement::float32 ? NPY_FLOAT32 : NPY_UINT32);
  if (descr == nullptr) throw_python_error();
  // An empty result has no buffer; let NumPy allocate its zero-size array.
  void* buffer = data;
  std::uint64_t count = 1;
  for (auto d : shape) count *= d;
  if (count == 0) buffer = nullptr;
  PyRef array(PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(shape.size()), dims,
                                   nullptr, buffer, NPY_ARRAY_CARRAY, nullptr));
  if (!array) throw_python_error();
  if (buffer == nullptr) return array;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0)
    throw_python_error();
  return array;
}

}  // namespace detail

PyRef float_tuple(std::initializer_list<float> values) {
  PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  Py_ssize_t i = 0;
  for (float v : values) {
    PyObject* f = PyFloat_FromDouble(static_cast<double>(v));
    if (f == nullptr) throw_python_error();
    PyTuple_SET_ITEM(tuple.get(), i++, f);
  }
  return tuple;
}

}  // namespace quorlin::py
