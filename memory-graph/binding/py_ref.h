// A small move-only owner of one strong reference to a Python object.
//
// Binding layer only. Every new reference the binding receives goes into a PyRef at once
// (`PyRef::steal`); a borrowed pointer that must outlive its lender is retained with
// `PyRef::borrow`; `release()` hands the reference on to Python (a return value, or a
// call that steals). A raw `PyObject*` parameter anywhere in binding/ is borrowed.
#pragma once

#include <Python.h>

#include <utility>

namespace recall_mesh::binding {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::move(*this));
    p_ = std::exchange(other.p_, nullptr);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  /// Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  /// Adds a reference to a borrowed pointer and owns that.
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Gives up ownership: the caller now holds the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace recall_mesh::binding
