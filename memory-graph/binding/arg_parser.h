// One table-driven argument parser for every method with parameters and for the
// constructor: positional arguments by position, then keywords by name, with the same
// messages everywhere. It only matches arguments to parameters; converting them is
// convert.h's job.
//
// Binding layer only.
#pragma once

#include <Python.h>

#include <cstddef>

namespace recall_mesh::binding {

/// A method's parameter list. The first `required` names have no default. `interned`
/// points at `count` slots that intern_parameter_names fills with the names as interned
/// str objects, so that a keyword given by the interpreter usually matches by identity.
struct ParamList {
  const char* method;  // "add_association", or "__new__" for the constructor
  const char* const* names;
  std::size_t count;
  std::size_t required;
  PyObject** interned;
};

/// Interns the parameter names once per process. Returns false with an exception set.
bool intern_parameter_names(const ParamList& params) noexcept;

/// Matches a vectorcall's arguments (`nargs` positional ones, then one per name in
/// `kwnames`) to `params`. On success out[i] is the argument for parameter i (borrowed from
/// the caller) or null when an optional one was omitted. On failure returns false with a
/// TypeError set whose message begins "<class_name>.<method>()". Allocates nothing.
bool parse_fastcall(const ParamList& params, const char* class_name, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept;

/// The same for an argument tuple and a keyword dict (`kwargs` may be null), as the
/// constructor receives them.
bool parse_tuple_dict(const ParamList& params, const char* class_name, PyObject* args,
                      PyObject* kwargs, PyObject** out) noexcept;

}  // namespace recall_mesh::binding
