#include "arg_parser.h"

#include <cstddef>
#include <string>

namespace recall_mesh::binding {
namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

bool set_too_many_positional(const ParamList& p, const char* class_name, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (p.required == p.count) {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zd %s given",
                 class_name, p.method, p.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s.%s() takes from %zu to %zu positional arguments but %zd %s given", class_name,
                 p.method, p.required, p.count, given, verb);
  }
  return false;
}

// The position of the parameter named `key` (a borrowed str), or kNotFound.
std::size_t find_parameter(const ParamList& p, PyObject* key) noexcept {
  // Keywords written in source code arrive interned, so identity usually decides.
  for (std::size_t i = 0; i < p.count; ++i) {
    if (p.interned[i] == key) return i;
  }
  for (std::size_t i = 0; i < p.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) return i;
  }
  return kNotFound;
}

// Puts the keyword argument `key`=`value` into its slot; false with the error set when the
// name is unknown or the parameter already has a value.
bool place_keyword(const ParamList& p, const char* class_name, PyObject* key, PyObject* value,
                   PyObject** out) noexcept {
  const std::size_t i = find_parameter(p, key);
  if (i == kNotFound) {
    PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", class_name,
                 p.method, key);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", class_name,
                 p.method, p.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

// Names every required parameter that got no value: 'x'; 'x' and 'y'; 'x', 'y', and 'z'.
bool check_required(const ParamList& p, const char* class_name, PyObject* const* out) noexcept {
  std::size_t missing = 0;
  for (std::size_t i = 0; i < p.required; ++i) missing += out[i] == nullptr ? 1 : 0;
  if (missing == 0) return true;
  try {
    std::string list;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < p.required; ++i) {
      if (out[i] != nullptr) continue;
      if (listed > 0) {
        if (missing > 2) list += ",";
        list += listed + 1 == missing ? " and " : " ";
      }
      list += "'";
      list += p.names[i];
      list += "'";
      ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional argument%s: %s",
                 class_name, p.method, missing, missing == 1 ? "" : "s", list.c_str());
  } catch (...) {
    PyErr_NoMemory();
  }
  return false;
}

}  // namespace

bool intern_parameter_names(const ParamList& params) noexcept {
  for (std::size_t i = 0; i < params.count; ++i) {
    if (params.interned[i] != nullptr) continue;
    // New reference, kept for the life of the process.
    params.interned[i] = PyUnicode_InternFromString(params.names[i]);
    if (params.interned[i] == nullptr) return false;
  }
  return true;
}

bool parse_fastcall(const ParamList& params, const char* class_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
  if (static_cast<std::size_t>(nargs) > params.count) {
    return set_too_many_positional(params, class_name, nargs);
  }
  for (std::size_t i = 0; i < params.count; ++i) {
    out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed
      if (key == nullptr) return false;
      if (!place_keyword(params, class_name, key, args[nargs + k], out)) return false;
    }
  }
  return check_required(params, class_name, out);
}

bool parse_tuple_dict(const ParamList& params, const char* class_name, PyObject* args,
                      PyObject* kwargs, PyObject** out) noexcept {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (static_cast<std::size_t>(nargs) > params.count) {
    return set_too_many_positional(params, class_name, nargs);
  }
  for (std::size_t i = 0; i < params.count; ++i) {
    const auto pos = static_cast<Py_ssize_t>(i);
    out[i] = pos < nargs ? PyTuple_GetItem(args, pos) : nullptr;  // borrowed
  }
  if (kwargs != nullptr) {
    Py_ssize_t cursor = 0;
    PyObject* key = nullptr;    // borrowed
    PyObject* value = nullptr;  // borrowed
    while (PyDict_Next(kwargs, &cursor, &key, &value)) {
      // A call through the class (or its __new__) hands the keyword dict over unchecked,
      // so it may hold keys that are not str; the interpreter's own message refuses them.
      if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
      }
      if (!place_keyword(params, class_name, key, value, out)) return false;
    }
  }
  return check_required(params, class_name, out);
}

}  // namespace recall_mesh::binding
