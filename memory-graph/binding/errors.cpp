#include "errors.h"

#include <cerrno>
#include <exception>
#include <new>

#include "persist/error.h"
#include "py_ref.h"

namespace recall_mesh::binding {
namespace {

// Strong reference kept for the life of the process (sub-interpreters are refused, so one
// class serves every call).
PyObject* g_internal_fault = nullptr;

// The OSError subclass for a failed open (borrowed).
PyObject* open_error_class(int os_errno) noexcept {
  switch (os_errno) {
    case ENOENT:
      return PyExc_FileNotFoundError;
    case EPERM:
    case EACCES:
      return PyExc_PermissionError;
    case EEXIST:
      return PyExc_FileExistsError;
    case EINTR:
      return PyExc_InterruptedError;
    case EAGAIN:
      return PyExc_BlockingIOError;
    case EPIPE:
      return PyExc_BrokenPipeError;
    case ECONNABORTED:
      return PyExc_ConnectionAbortedError;
    case ECONNRESET:
      return PyExc_ConnectionResetError;
    case ECONNREFUSED:
      return PyExc_ConnectionRefusedError;
    case ETIMEDOUT:
      return PyExc_TimeoutError;
    default:
      return PyExc_OSError;
  }
}

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

PyObject* set_persist_error(const persist::Error& error) noexcept {
  if (error.kind == persist::ErrorKind::kInterrupted && PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  const bool open_failed =
      error.kind == persist::ErrorKind::kOpen || error.kind == persist::ErrorKind::kInterrupted;
  PyObject* cls = open_failed ? open_error_class(error.os_errno) : PyExc_OSError;
  // Messages can quote document text; a stray byte must not turn into a decoding error.
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message) return nullptr;
  // The message as the only argument, so that str() is the message and filename None.
  PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(cls, message.get(), nullptr));
  if (!exception) return nullptr;
  if (open_failed && error.os_errno > 0) {
    // Set after construction: an OSError made with the number as an argument would show
    // "[Errno n] ..." instead of the message.
    PyRef number = PyRef::steal(PyLong_FromLong(error.os_errno));
    if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) != 0) {
      return nullptr;
    }
  }
  PyErr_SetObject(cls, exception.get());
  return nullptr;
}

}  // namespace recall_mesh::binding
