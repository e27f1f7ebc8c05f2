#include "convert.h"

#include "errors.h"
#include "py_ref.h"
#include "store/memory_edge.h"

namespace recall_mesh::binding {
namespace {

// The numpy bool scalar type once one has been seen; a strong reference kept for the life
// of the process, so later calls recognise it by identity without any lookup.
PyObject* g_numpy_bool_type = nullptr;

// Whether `type` (borrowed) is numpy's bool scalar type, by its name and module: 1 or 0,
// or -1 with the exception set when looking raised anything but a missing __module__
// (an interrupt or a lack of memory is the host's to see). Only reached for values that
// are not True or False, so its attribute lookups stay off the usual path. Another type
// that passes the same test is judged the same way every time: what was seen first
// decides nothing but which type the quick check knows.
int is_numpy_bool_type(PyTypeObject* type) noexcept {
  PyObject* as_object = reinterpret_cast<PyObject*>(type);
  if (as_object == g_numpy_bool_type) return 1;
  PyRef type_name = PyRef::steal(PyType_GetName(type));
  if (!type_name) return -1;
  // numpy 2 names it "bool", numpy 1 "bool_"; both live in the module "numpy".
  if (PyUnicode_CompareWithASCIIString(type_name.get(), "bool") != 0 &&
      PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") != 0) {
    return 0;
  }
  PyRef module = PyRef::steal(PyObject_GetAttrString(as_object, "__module__"));
  if (!module) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return 0;
  }
  if (g_numpy_bool_type == nullptr) g_numpy_bool_type = PyRef::borrow(as_object).release();
  return 1;
}

// Appends item `item` (borrowed) of list argument `name`, holding a reference to it.
bool append_str(PyObject* item, const char* name, StrList& out) {
  std::string_view text;
  if (!to_str(item, name, text)) return false;
  out.owners.push_back(PyRef::borrow(item));
  out.views.push_back(text);
  return true;
}

void reserve(StrList& out, Py_ssize_t n) {
  out.owners.reserve(static_cast<std::size_t>(n));
  out.views.reserve(static_cast<std::size_t>(n));
}

}  // namespace

bool to_str(PyObject* value, const char* name, std::string_view& out) noexcept {
  if (!PyUnicode_Check(value)) {
    set_conversion_error(name, value, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;  // UnicodeEncodeError passes unchanged
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_f32(PyObject* value, const char* name, float& out) noexcept {
  const double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred() != nullptr) {
    relabel_type_error(name);
    return false;
  }
  out = store::narrow_to_f32(d);
  return true;
}

bool to_u64(PyObject* value, const char* name, std::uint64_t& out) noexcept {
  PyRef index;
  if (!PyLong_Check(value)) {
    index = PyRef::steal(PyNumber_Index(value));
    if (!index) {
      relabel_type_error(name);
      return false;
    }
    value = index.get();
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(value);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    relabel_type_error(name);  // negative or too large: OverflowError, left as it is
    return false;
  }
  out = static_cast<std::uint64_t>(n);
  return true;
}

bool to_bool(PyObject* value, const char* name, bool& out) noexcept {
  if (value == Py_True || value == Py_False) {
    out = value == Py_True;
    return true;
  }
  const int numpy_bool = is_numpy_bool_type(Py_TYPE(value));
  if (numpy_bool < 0) return false;
  if (numpy_bool == 0) {
    set_conversion_error(name, value, "PyBool");
    return false;
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) {
    relabel_type_error(name);
    return false;
  }
  out = truth != 0;
  return true;
}

bool to_str_list(PyObject* value, const char* name, StrList& out) {
  out.owners.clear();
  out.views.clear();
  if (PyUnicode_Check(value)) {
    // A str is a sequence of str, but taking one as a list of names is always a mistake.
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    return false;
  }
  if (!PySequence_Check(value)) {
    set_conversion_error(name, value, "Sequence");
    return false;
  }
  // Exact lists and tuples are read in place: converting a str item runs no Python code,
  // so nothing can change the container meanwhile. The size is read again each step
  // all the same.
  if (PyList_CheckExact(value)) {
    reserve(out, PyList_Size(value));
    for (Py_ssize_t i = 0; i < PyList_Size(value); ++i) {
      if (!append_str(PyList_GetItem(value, i), name, out)) return false;  // borrowed item
    }
    return true;
  }
  if (PyTuple_CheckExact(value)) {
    const Py_ssize_t n = PyTuple_Size(value);
    reserve(out, n);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!append_str(PyTuple_GetItem(value, i), name, out)) return false;  // borrowed item
    }
    return true;
  }
  // Any other sequence is iterated, which may run the host's code.
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) {
    relabel_type_error(name);
    return false;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!append_str(item.get(), name, out)) return false;
  }
  if (PyErr_Occurred() != nullptr) {
    relabel_type_error(name);
    return false;
  }
  return true;
}

}  // namespace recall_mesh::binding
