// Argument conversion: a borrowed Python object to a plain value, for one parameter.
//
// Binding layer only. Each converter returns false with an exception set when the value
// does not convert; a TypeError then reads "argument 'NAME': ...". Converters may run
// Python code (`__float__`, `__index__`, iteration), so the caller holds its borrow first.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "py_ref.h"

namespace recall_mesh::binding {

/// A str (subclasses too) as UTF-8. The view points into the str's cached UTF-8 and is
/// valid while the caller holds `value`. A lone surrogate raises UnicodeEncodeError.
bool to_str(PyObject* value, const char* name, std::string_view& out) noexcept;

/// Any number the interpreter turns into a double, rounded to the nearest 32-bit float.
bool to_f32(PyObject* value, const char* name, float& out) noexcept;

/// An int or an object with `__index__`, in 0 to 2^64-1 (OverflowError outside).
bool to_u64(PyObject* value, const char* name, std::uint64_t& out) noexcept;

/// Exactly True or False, or a numpy bool scalar taken by its truth value.
bool to_bool(PyObject* value, const char* name, bool& out) noexcept;

/// The items of a list argument as UTF-8 views, in order. Each view points into its str's
/// UTF-8 and stays valid while `owners` holds that str: later Python code in the same call
/// may change the sequence without harm, and a str listed many times is read in place
/// each time instead of being copied.
struct StrList {
  std::vector<PyRef> owners;
  std::vector<std::string_view> views;
  operator std::span<const std::string_view>() const noexcept { return views; }
};

/// A sequence other than a str whose items are str. `out` is cleared first. May throw
/// std::bad_alloc.
bool to_str_list(PyObject* value, const char* name, StrList& out);

}  // namespace recall_mesh::binding
