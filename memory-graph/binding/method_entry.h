// The method-table entries, derived from the descriptions of method_spec.h: noexcept
// trampolines that parse, take the borrow, convert and run a method, so that each method
// body is a plain function of plain arguments, and the table that registers them.
//
// `Object` is the instance layout: it has a `BorrowState borrow` member, a `kClassName`
// for parsing messages, and `from(PyObject*)`. `Run` is called as `Run(Object&, args...)`
// (`Run(args...)` for a static method) with one plain value per parameter, in order:
// std::string_view for a str, float, std::uint64_t, bool, and `StrList&` for a list of
// str. It returns a new reference, or null with an exception set. Binding layer only.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "arg_parser.h"
#include "borrow.h"
#include "convert.h"
#include "errors.h"
#include "method_spec.h"

namespace recall_mesh::binding {
namespace entry_detail {

// The converter of each kind (convert.h): the one place a kind meets its plain type, which
// is what the converter writes.
template <Kind K>
constexpr auto converter() noexcept {
  if constexpr (K == Kind::kStr) return &to_str;
  if constexpr (K == Kind::kF32) return &to_f32;
  if constexpr (K == Kind::kU64) return &to_u64;
  if constexpr (K == Kind::kBool) return &to_bool;
  if constexpr (K == Kind::kStrList) return &to_str_list;
}

template <class F>
struct Written;
template <class T>
struct Written<bool (*)(PyObject*, const char*, T&) noexcept> {
  using type = T;
};
template <class T>
struct Written<bool (*)(PyObject*, const char*, T&)> {
  using type = T;
};

template <Kind K>
using Plain = typename Written<decltype(converter<K>())>::type;

// The initial value of parameter I of M: its default, or an empty value that conversion
// replaces.
template <const auto& M, std::size_t I>
constexpr Plain<M.params[I].kind> initial_value() {
  constexpr Param p = M.params[I];
  if constexpr (p.kind == Kind::kF32) return p.f32_default;
  if constexpr (p.kind == Kind::kU64) return p.u64_default;
  if constexpr (p.kind == Kind::kBool) return p.bool_default;
  if constexpr (p.kind == Kind::kStr || p.kind == Kind::kStrList) return {};
}

// The plain arguments as one aggregate, slot I holding parameter I: built in place with
// the defaults, the compiler stores them as it would a struct's member initialisers.
template <std::size_t I, class T>
struct Slot {
  T value;
};
template <class Indices, class... T>
struct Slots;
template <std::size_t... I, class... T>
struct Slots<std::index_sequence<I...>, T...> : Slot<I, T>... {};

template <std::size_t I, class T>
T& slot(Slot<I, T>& s) noexcept {
  return s.value;
}

template <const auto& M, std::size_t... I>
auto slots_of(std::index_sequence<I...>)
    -> Slots<std::index_sequence<I...>, Plain<M.params[I].kind>...>;

// Parameter I of M from `value` (borrowed; null for an omitted optional one, which keeps
// its default). False with an exception set.
template <const auto& M, std::size_t I, class T>
bool convert_arg(PyObject* value, T& out) {
  constexpr Param p = M.params[I];
  if constexpr (p.optional()) {
    if (value == nullptr) return true;
  }
  return converter<p.kind>()(value, p.name, out);
}

}  // namespace entry_detail

/// The plain arguments of method `M`, one per parameter in order.
template <const auto& M>
using ArgsOf = decltype(entry_detail::slots_of<M>(std::make_index_sequence<M.kCount>()));

/// Plain arguments holding the defaults of `M`'s optional parameters.
template <const auto& M>
ArgsOf<M> initial_args() {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return ArgsOf<M>{{entry_detail::initial_value<M, I>()}...};
  }
  (std::make_index_sequence<M.kCount>());
}

/// Converts the parsed arguments `in` into `out` (from initial_args) in signature order,
/// an omitted optional one keeping its default, stopping at the first failure
/// (false with an exception set). Views in `out` point into the caller's str objects and
/// are valid for the call. May throw std::bad_alloc.
template <const auto& M>
bool convert_args(PyObject* const* in, ArgsOf<M>& out) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (entry_detail::convert_arg<M, I>(in[I], entry_detail::slot<I>(out)) && ...);
  }
  (std::make_index_sequence<M.kCount>());
}

/// `f(a...)` with the plain arguments `args` of method `M`, in order.
template <const auto& M, class F>
PyObject* pass_args(ArgsOf<M>& args, F&& f) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return f(entry_detail::slot<I>(args)...);
  }
  (std::make_index_sequence<M.kCount>());
}

/// METH_FASTCALL | METH_KEYWORDS entry (with METH_STATIC for a static method, which has no
/// instance and takes no borrow).
template <const auto& M, class Object, auto Run>
PyObject* call_with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, M.kCount> in;  // borrowed from the caller
    if (!parse_fastcall(parameters<M>(), Object::kClassName, args, nargs, kwnames, in.data())) {
      return nullptr;
    }
    if constexpr (M.is_static()) {
      ArgsOf<M> converted = initial_args<M>();
      if (!convert_args<M>(in.data(), converted)) return nullptr;
      return pass_args<M>(converted, [](auto&... a) { return Run(a...); });
    } else {
      Object& object = Object::from(self);
      BorrowGuard<M.access> borrow(object.borrow);
      if (!borrow.ok()) return nullptr;
      // After the borrow, so that the arguments' references are dropped while it is held.
      ArgsOf<M> converted = initial_args<M>();
      if (!convert_args<M>(in.data(), converted)) return nullptr;
      return pass_args<M>(converted, [&](auto&... a) { return Run(object, a...); });
    }
  });
}

/// METH_NOARGS entry: the interpreter itself refuses any argument.
template <const auto& M, class Object, auto Run>
PyObject* call_without_arguments(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&]() -> PyObject* {
    Object& object = Object::from(self);
    BorrowGuard<M.access> borrow(object.borrow);
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

/// Method `M` run by `Run`: one row of a MethodTable.
template <const auto& M, auto Run>
struct Def {
  template <class Object>
  static PyMethodDef entry() noexcept {
    if constexpr (M.takes_no_arguments()) {
      return {M.name, as_table_entry(&call_without_arguments<M, Object, Run>), METH_NOARGS,
              doc_string<M>()};
    } else {
      constexpr int kStatic = M.is_static() ? METH_STATIC : 0;
      return {M.name, as_table_entry(&call_with_arguments<M, Object, Run>),
              METH_FASTCALL | METH_KEYWORDS | kStatic, doc_string<M>()};
    }
  }
  static bool intern_names() noexcept { return intern_parameter_names(parameters<M>()); }
};

/// The method table of a class whose instances are `Object`, rows in registration order.
template <class Object, class... Defs>
struct MethodTable {
  static inline PyMethodDef entries[] = {Defs::template entry<Object>()...,
                                         {nullptr, nullptr, 0, nullptr}};
  /// Interns every parameter name of the table, once per process (see arg_parser.h).
  /// False with an exception set.
  static bool intern_names() noexcept { return (Defs::intern_names() && ...); }
};

}  // namespace recall_mesh::binding
