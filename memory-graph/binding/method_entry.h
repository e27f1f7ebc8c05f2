// The method-table entries: noexcept trampolines that parse, take the borrow, convert and
// run a method, so that each method body is a plain function of plain arguments.
//
// `Object` is the instance layout: it has a `BorrowState borrow` member, a `kClassName`
// for parsing messages, and `from(PyObject*)`. `Run` is a function
// `PyObject* run(Object&, Sig::Args&)` (or `run(Sig::Args&)` for a static method)
// returning a new reference, or null with an exception set. Binding layer only.
#pragma once

#include <Python.h>

#include <array>

#include "arg_parser.h"
#include "borrow.h"
#include "errors.h"

namespace recall_mesh::binding {

/// METH_FASTCALL | METH_KEYWORDS entry of an instance method with parameters.
template <class Sig, class Object, auto Run>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, Sig::kCount> in;  // borrowed from the caller
    if (!parse_fastcall(Sig::kParams, Object::kClassName, args, nargs, kwnames, in.data())) {
      return nullptr;
    }
    Object& object = Object::from(self);
    BorrowGuard<Sig::kAccess> borrow(object.borrow);
    if (!borrow.ok()) return nullptr;
    typename Sig::Args converted;
    if (!Sig::convert(in.data(), converted)) return nullptr;
    return Run(object, converted);
  });
}

/// METH_FASTCALL | METH_KEYWORDS | METH_STATIC entry: no instance, no borrow.
template <class Sig, class Object, auto Run>
PyObject* fastcall_static(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, Sig::kCount> in;  // borrowed from the caller
    if (!parse_fastcall(Sig::kParams, Object::kClassName, args, nargs, kwnames, in.data())) {
      return nullptr;
    }
    typename Sig::Args converted;
    if (!Sig::convert(in.data(), converted)) return nullptr;
    return Run(converted);
  });
}

/// METH_NOARGS entry: the interpreter itself refuses any argument.
template <Access A, class Object, auto Run>
PyObject* noargs_method(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&]() -> PyObject* {
    Object& object = Object::from(self);
    BorrowGuard<A> borrow(object.borrow);
    if (!borrow.ok()) return nullptr;
    return Run(object);
  });
}

/// A method-table entry's function pointer. The table's type is PyCFunction whatever the
/// calling convention; the flags beside it tell the interpreter the real type.
template <class F>
PyCFunction as_table_entry(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace recall_mesh::binding
