// Conversion kinds and their exact error texts.
#include "convert.h"

#include <cfloat>
#include <cmath>
#include <string>

#include "numpy_api.h"

namespace quorlin::py {

namespace {

/// The qualified name of obj's type, e.g. "list", "ndarray".
std::string type_qualname(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text != nullptr) return text;
  }
  PyErr_Clear();
  return Py_TYPE(obj)->tp_name;
}

[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target) {
  std::string message = "'";
  message += type_qualname(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_python_error();
}

/// Narrows a double to the nearest 32-bit float; beyond the float range it becomes an infinity.
float narrow_f32(double d) {
  // Values at or past the midpoint between FLT_MAX and 2^128 round to infinity.
  constexpr double kOverflow = 3.4028235677973366e38;
  if (d >= kOverflow) return INFINITY;
  if (d <= -kOverflow) return -INFINITY;
  return static_cast<float>(d);
}

PyArray_Descr* descr_of(detail::Element elem) {
  // Descriptors of builtin types are immortal singletons; keep one reference each for the process.
  static PyArray_Descr* f32 = nullptr;
  static PyArray_Descr* i32 = nullptr;
  PyArray_Descr*& slot = elem == detail::Element::float32 ? f32 : i32;
  if (slot == nullptr) {
    slot = PyArray_DescrFromType(elem == detail::Element::float32 ? NPY_FLOAT32 : NPY_INT32);
    if (slot == nullptr) throw_python_error();
  }
  return slot;
}

}  // namespace

namespace detail {

[[noreturn]] void reraise_with_prefix(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
#if PY_VERSION_HEX >= 0x030C0000
  PyRef cause(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef cause(value);
  Py_XDECREF(type);
  if (tb != nullptr) {
    PyException_SetTraceback(cause.get(), tb);
    Py_DECREF(tb);
  }
#endif
  PyRef text(PyObject_Str(cause.get()));
  if (!text) throw_python_error();
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) throw_python_error();
  PyRef error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!error) throw_python_error();
  PyException_SetCause(error.get(), cause.release());  // steals
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw_python_error();
}

void check_array(PyObject* obj, int ndim, Element elem) {
  ensure_numpy();
  if (!PyArray_Check(obj)) raise_cannot_convert(obj, "PyArray<T, D>");
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != ndim || !PyArray_EquivTypes(PyArray_DESCR(arr), descr_of(elem)))
    raise_cannot_convert(obj, "PyArray<T, D>");
}

RawArray convert_array(PyObject* obj, int ndim, Element elem) {
  check_array(obj, ndim, elem);
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  RawArray raw;
  const npy_intp itemsize = PyArray_ITEMSIZE(arr);
  bool element_strides = true;
  for (int a = 0; a < ndim; ++a) element_strides &= PyArray_STRIDE(arr, a) % itemsize == 0;
  if (!PyArray_ISALIGNED(arr) || !element_strides) {
    // The core reads whole aligned elements; read such an array through a private aligned copy.
    raw.keep = checked(PyArray_NewCopy(arr, NPY_CORDER));
    arr = reinterpret_cast<PyArrayObject*>(raw.keep.get());
  }
  raw.data = PyArray_DATA(arr);
  for (int a = 0; a < ndim; ++a) {
    raw.shape[a] = PyArray_DIM(arr, a);
    raw.strides[a] = PyArray_STRIDE(arr, a) / itemsize;
  }
  return raw;
}

}  // namespace detail

float float_value_f32(PyObject* obj) {
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) throw_python_error();
  return narrow_f32(d);
}

float to_f32(Arg arg) {
  return with_prefix(arg, float_value_f32);
}

std::uint64_t to_u64(Arg arg) {
  return with_prefix(arg, [](PyObject* obj) {
    PyRef index(PyNumber_Index(obj));
    if (!index) throw_python_error();
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
    return static_cast<std::uint64_t>(v);
  });
}

std::string_view to_text(Arg arg) {
  return with_prefix(arg, [](PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_cannot_convert(obj, "PyString");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) throw_python_error();
    return std::string_view(text, static_cast<std::size_t>(size));
  });
}

PyObject* to_tuple(Arg arg) {
  return with_prefix(arg, [](PyObject* obj) {
    if (!PyTuple_Check(obj)) raise_cannot_convert(obj, "PyTuple");
    return obj;
  });
}

CheckedFrames to_frames(Arg arg) {
  return with_prefix(arg, [arg](PyObject* obj) {
    if (PyUnicode_Check(obj)) {
      PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
      throw_python_error();
    }
    if (!PySequence_Check(obj)) raise_cannot_convert(obj, "Sequence");
    CheckedFrames frames{arg, checked(PySequence_Fast(obj, "points_list must be a sequence"))};
    // A list may be the caller's own, which Python code run later in the call can edit; a tuple
    // of its items holds every item alive until the call ends.
    if (PyList_Check(frames.owners.get()))
      frames.owners = checked(PyList_AsTuple(frames.owners.get()));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(frames.owners.get());
    PyObject** items = PySequence_Fast_ITEMS(frames.owners.get());
    for (Py_ssize_t i = 0; i < n; ++i) detail::check_array(items[i], 2, detail::Element::float32);
    return frames;
  });
}

FramesArg take_views(CheckedFrames&& checked_frames) {
  const Arg arg = checked_frames.arg;
  return with_prefix(arg, [&checked_frames](PyObject*) {
    FramesArg frames;
    frames.owners = std::move(checked_frames.owners);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(frames.owners.get());
    PyObject** items = PySequence_Fast_ITEMS(frames.owners.get());
    frames.views.reserve(static_cast<std::size_t>(n));
    std::vector<PyRef> copies;
    for (Py_ssize_t i = 0; i < n; ++i) {
      auto raw = detail::convert_array(items[i], 2, detail::Element::float32);
      View2<float> v;
      v.data = static_cast<const float*>(raw.data);
      v.shape = {static_cast<std::uint64_t>(raw.shape[0]),
                 static_cast<std::uint64_t>(raw.shape[1])};
      v.strides = {raw.strides[0], raw.strides[1]};
      if (raw.keep) copies.push_back(std::move(raw.keep));
      frames.views.push_back(v);
    }
    if (!copies.empty()) {
      // Private aligned copies join the owners so they live as long as the views.
      PyRef all = checked(PyList_New(0));
      if (PyList_Append(all.get(), frames.owners.get()) < 0) throw_python_error();
      for (auto& c : copies)
        if (PyList_Append(all.get(), c.get()) < 0) throw_python_error();
      frames.owners = std::move(all);
    }
    return frames;
  });
}

float tuple_item_f32(PyObject* tuple, Py_ssize_t k) {
  PyObject* item = PyTuple_GetItem(tuple, k);  // borrowed; IndexError when missing
  if (item == nullptr) throw_python_error();
  return float_value_f32(item);
}

}  // namespace quorlin::py
