// The class LeanMemoryGraph: its instance layout and its type object.
//
// Binding layer only; module.cpp creates the type once per process and adds it to the
// module.
#pragma once

#include <Python.h>

#include "borrow.h"
#include "store/adjacency_map.h"

namespace recall_mesh::binding {

/// One instance: the object header, the borrow state and the store, held by value
/// (placement-new in tp_new, destroyed in tp_dealloc).
struct GraphObject {
  PyObject_HEAD BorrowState borrow;
  store::AdjacencyMap adj;

  static constexpr const char* kClassName = "LeanMemoryGraph";
  static GraphObject& from(PyObject* self) noexcept {
    return *reinterpret_cast<GraphObject*>(self);
  }
};

/// Creates the class object on the first call and returns it (borrowed; the process keeps
/// one reference for good). Returns null with an exception set on failure.
PyObject* graph_type() noexcept;

}  // namespace recall_mesh::binding
