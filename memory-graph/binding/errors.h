// How failures leave the module, all in one place: C++ exceptions are stopped at the
// method-table entry and turned into Python exceptions. std::bad_alloc becomes MemoryError;
// anything else is a broken internal invariant and becomes the internal-fault exception,
// which derives from BaseException so that a host's `except Exception` does not swallow
// it. Argument conversion errors and the persistence layer's errors are raised here too.
//
// Binding layer only.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace recall_mesh::persist {
struct Error;
}

namespace recall_mesh::binding {

/// Creates the internal-fault exception class once per process. Returns false with an
/// exception set on failure.
bool init_internal_fault() noexcept;

/// Sets the internal-fault exception with `message`. Never fails to leave an exception set.
void set_internal_fault(const char* message) noexcept;

/// Maps the C++ exception being handled (call it only inside a catch block) to a Python
/// exception; always leaves one set.
void set_error_from_current_exception() noexcept;

/// Runs `body`, which returns a new reference or null with an exception set, and makes sure
/// no C++ exception escapes: returns null with the mapped exception set instead.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

/// Re-raises a TypeError set by the interpreter while converting argument `name` as
/// TypeError("argument 'NAME': <message>"), keeping its cause. Exceptions of any other type
/// (a TypeError subclass included) stay as they are. Call only with an exception set;
/// one is still set afterwards.
void relabel_type_error(const char* name) noexcept;

/// Sets TypeError("argument 'NAME': 'T' object cannot be converted to 'TARGET'"), T being
/// the qualified name of `value`'s type (`value` is borrowed).
void set_conversion_error(const char* name, PyObject* value, const char* target) noexcept;

/// Raises a persistence error as an OSError whose str() is its message and whose filename
/// is None. A failed open raises the OSError subclass for its error number (for instance
/// FileNotFoundError) and carries the number in errno; other failures are plain OSError
/// with errno None. An operation stopped by the interrupt check keeps the exception the
/// check left set (KeyboardInterrupt for Ctrl-C). Always returns null, with an exception
/// set.
PyObject* set_persist_error(const persist::Error& error) noexcept;

}  // namespace recall_mesh::binding
