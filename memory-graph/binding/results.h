// Result conversion: plain values returned by the core become new Python objects.
//
// Binding layer only. Every function returns a new reference, or null with an exception
// set (MemoryError, or the internal fault for a malformed export).
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "query/clusters.h"
#include "query/graph_export.h"
#include "query/insight.h"
#include "query/spread_activation.h"

namespace recall_mesh::binding {

PyObject* new_none() noexcept;
PyObject* new_int(std::size_t n) noexcept;
/// The 32-bit value widened exactly: a stored 0.7f reads 0.699999988079071.
PyObject* new_float(float x) noexcept;
PyObject* new_str(std::string_view utf8) noexcept;
PyObject* new_str_list(const std::vector<std::string>& items) noexcept;
/// A document's text as a new str, or null with an exception set. A large text is
/// converted a piece at a time with the interpreter's signal handlers run between pieces,
/// so a Ctrl-C is not held up by one long conversion (null with KeyboardInterrupt set).
/// `text` is emptied once converted.
PyObject* new_document_str(std::string& text) noexcept;
/// A list of lists of str, one list per cluster, each name copied from the store.
PyObject* new_cluster_lists(const store::AdjacencyMap& adj,
                            const query::ClusterIds& clusters) noexcept;
/// A dict of activated name -> energy, filled in activation order.
PyObject* new_energy_dict(const query::SpreadPlan& plan) noexcept;
/// A dict of neighbour name -> weight, filled in the given order, each name copied from
/// the store.
PyObject* new_insight_dict(const store::AdjacencyMap& adj,
                           const std::vector<query::InsightNeighbour>& neighbours) noexcept;
/// Nested dicts concept -> neighbour -> weight; one str per distinct name, shared by every
/// key that names it.
PyObject* new_graph_dict(const query::GraphData& data) noexcept;

}  // namespace recall_mesh::binding
