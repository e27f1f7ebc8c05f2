#include "errors.h"

#include <exception>
#include <new>

#include "py_ref.h"

namespace recall_mesh::binding {
namespace {

// Strong reference kept for the life of the process (sub-interpreters are refused, so one
// class serves every call).
PyObject* g_internal_fault = nullptr;

}  // namespace

bool init_internal_fault() noexcept {
  if (g_internal_fault != nullptr) return true;
  // Not added to any module: a host never catches it on purpose, it reports a bug.
  g_internal_fault = PyErr_NewExceptionWithDoc(
      "recall_mesh.InternalFault", "Raised when the module finds one of its own invariants broken.",
      PyExc_BaseException, nullptr);
  return g_internal_fault != nullptr;
}

void set_internal_fault(const char* message) noexcept {
  if (g_internal_fault == nullptr && !init_internal_fault()) {
    return;  // the failure to create the class is the exception now set
  }
  PyErr_SetString(g_internal_fault, message);
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_fault(e.what());
  } catch (...) {
    set_internal_fault("unknown internal fault");
  }
}

void relabel_type_error(const char* name) noexcept {
  PyRef first = PyRef::steal(PyErr_GetRaisedException());
  if (!first) return;
  // Exactly TypeError: an OverflowError, a UnicodeEncodeError or a TypeError subclass
  // raised by the host's own code keeps its type and text.
  if (Py_TYPE(first.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(first.release());  // steals
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(first.get()));
  if (!text) return;  // the error of str() is set instead
  PyRef relabelled = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!relabelled) return;
  PyRef error =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, relabelled.get(), nullptr));
  if (!error) return;
  // Borrowed-then-owned: PyException_GetCause returns a new reference, SetCause steals it.
  PyException_SetCause(error.get(), PyException_GetCause(first.get()));
  PyErr_SetRaisedException(error.release());  // steals
}

void set_conversion_error(const char* name, PyObject* value, const char* target) noexcept {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name,
               type_name.get(), target);
}

}  // namespace recall_mesh::binding
