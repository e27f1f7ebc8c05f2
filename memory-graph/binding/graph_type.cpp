#include "graph_type.h"

#include <array>
#include <cerrno>
#include <new>
#include <utility>
#include <variant>

#include "errors.h"
#include "method_entry.h"
#include "persist/document.h"
#include "py_ref.h"
#include "query/clusters.h"
#include "query/graph_export.h"
#include "query/insight.h"
#include "query/spread_activation.h"
#include "results.h"
#include "signatures.h"
#include "store/graph_ops.h"

namespace recall_mesh::binding {
namespace {

// Strong reference kept for the life of the process; see graph_type().
PyObject* g_graph_type = nullptr;

// ----- instances ------------------------------------------------------------------------

// A new instance of `type` owning `adj`. New reference, or null with an exception set.
PyObject* new_instance(PyTypeObject* type, store::AdjacencyMap&& adj) noexcept {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);  // zeroed; holds a reference to the heap type
  if (self == nullptr) return nullptr;
  GraphObject& g = GraphObject::from(self);
  new (&g.borrow) BorrowState();
  new (&g.adj) store::AdjacencyMap(std::move(adj));
  return self;
}

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, sig::Constructor::kCount> in;
    if (!parse_tuple_dict(sig::Constructor::kParams, GraphObject::kClassName, args, kwargs,
                          in.data())) {
      return nullptr;
    }
    // The store first: if it cannot be made, no half-built instance exists.
    return new_instance(type, store::AdjacencyMap());
  });
}

void graph_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  GraphObject::from(self).adj.~AdjacencyMap();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of a heap type each hold a reference to it
}

// ----- persistence errors ---------------------------------------------------------------

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

// Raises `error` with its message as the only argument, so that str() is the message and
// filename stays None. A failed open also carries its error number in errno, so callers
// can test it as for any failed open; other failures keep errno None. An operation
// stopped by the interrupt check keeps the exception the check left set (KeyboardInterrupt
// for Ctrl-C). Always returns null.
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

// ----- the methods ----------------------------------------------------------------------
// Each runs with its borrow held and its arguments converted (method_entry.h).

PyObject* node_count(GraphObject& g) {
  return new_int(g.adj.node_count());
}

PyObject* edge_count(GraphObject& g) {
  return new_int(g.adj.edge_count());
}

PyObject* save_to_json(GraphObject& g, sig::SaveToJson::Args& a) {
  if (auto error = persist::save_to_json(g.adj, a.path)) return set_persist_error(*error);
  return new_none();
}

PyObject* to_json_str(GraphObject& g) {
  auto text = persist::to_json_str(g.adj);
  if (const auto* error = std::get_if<persist::Error>(&text)) return set_persist_error(*error);
  return new_str(std::get<std::string>(text));
}

PyObject* load_from_json(sig::LoadFromJson::Args& a) {
  auto loaded = persist::load_from_json(a.path);
  if (auto* error = std::get_if<persist::Error>(&loaded)) return set_persist_error(*error);
  // get_if rather than get: the other alternative was ruled out just above.
  return new_instance(reinterpret_cast<PyTypeObject*>(g_graph_type),
                      std::move(*std::get_if<store::AdjacencyMap>(&loaded)));
}

PyObject* get_graph_data(GraphObject& g) {
  return new_graph_dict(query::get_graph_data(g.adj));
}

PyObject* get_graph_data_for_project(GraphObject& g, sig::GetGraphDataForProject::Args& a) {
  return new_graph_dict(query::get_graph_data_for_project(g.adj, a.project_id));
}

PyObject* add_association(GraphObject& g, sig::AddAssociation::Args& a) {
  store::add_association(g.adj, a.concept_a, a.concept_b, a.project_id, a.initial_weight,
                         a.current_time, a.salience, a.is_landmark);
  return new_none();
}

PyObject* decay_and_prune(GraphObject& g, sig::DecayAndPrune::Args& a) {
  return new_int(store::decay_and_prune(g.adj, a.decay_rate));
}

PyObject* spread_activation(GraphObject& g, sig::SpreadActivation::Args& a) {
  const query::SpreadPlan plan =
      query::plan_spread(g.adj, a.starting_nodes, a.current_project, a.current_time);
  // The graph learns only once the result exists: a failure to build it leaves the graph
  // exactly as the call found it.
  PyObject* result = new_energy_dict(plan);
  if (result != nullptr) query::learn(g.adj, plan);
  return result;
}

PyObject* detect_clusters(GraphObject& g, sig::DetectClusters::Args& a) {
  return new_cluster_lists(g.adj, query::detect_cluster_ids(g.adj, a.project_id, a.min_weight));
}

PyObject* get_cluster_for_node(GraphObject& g, sig::GetClusterForNode::Args& a) {
  return new_str_list(query::get_cluster_for_node(g.adj, a.node, a.project_id));
}

PyObject* cluster_label(GraphObject& g, sig::ClusterLabel::Args& a) {
  return new_str(query::cluster_label(g.adj, a.cluster));
}

PyObject* get_cluster_density(GraphObject& g, sig::GetClusterDensity::Args& a) {
  return new_float(query::get_cluster_density(g.adj, a.nodes, a.project_id));
}

PyObject* get_concepts_for_insight(GraphObject& g, sig::GetConceptsForInsight::Args& a) {
  return new_insight_dict(g.adj,
                          query::insight_neighbours(g.adj, a.insight_concepts, a.project_id));
}

PyObject* record_feedback(GraphObject& g, sig::RecordFeedback::Args& a) {
  store::record_feedback(g.adj, a.concept_a, a.concept_b, a.was_useful, a.current_time);
  return new_none();
}

PyObject* upsert_edge(GraphObject& g, sig::UpsertEdge::Args& a) {
  store::upsert_edge(g.adj, a.a, a.b, a.pid, a.weight, a.current_time, a.salience, a.is_landmark);
  return new_none();
}

PyObject* promote_and_strengthen(GraphObject& g, sig::PromoteAndStrengthen::Args& a) {
  store::promote_and_strengthen(g.adj, a.from, a.to);
  return new_none();
}

PyObject* strengthen_edge(GraphObject& g, sig::StrengthenEdge::Args& a) {
  store::strengthen_edge(g.adj, a.from, a.to, a.current_time);
  return new_none();
}

// ----- the type -------------------------------------------------------------------------

template <Access A, auto Run>
constexpr PyCFunction noargs() {
  return as_table_entry(&noargs_method<A, GraphObject, Run>);
}
template <class Sig, auto Run>
constexpr PyCFunction fastcall() {
  return as_table_entry(&fastcall_method<Sig, GraphObject, Run>);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// In registration order. Each doc string opens with the text signature, then "--" and an
// empty line, then the doc text, if any.
PyMethodDef g_methods[] = {
    {"node_count", noargs<Access::kShared, node_count>(), METH_NOARGS, "node_count($self)\n--\n\n"},
    {"edge_count", noargs<Access::kShared, edge_count>(), METH_NOARGS, "edge_count($self)\n--\n\n"},
    {"save_to_json", fastcall<sig::SaveToJson, save_to_json>(), kFastcall,
     "save_to_json($self, path)\n--\n\n"},
    {"to_json_str", noargs<Access::kShared, to_json_str>(), METH_NOARGS,
     "to_json_str($self)\n--\n\n"},
    {"load_from_json",
     as_table_entry(&fastcall_static<sig::LoadFromJson, GraphObject, load_from_json>),
     kFastcall | METH_STATIC, "load_from_json(path)\n--\n\n"},
    {"get_graph_data", noargs<Access::kShared, get_graph_data>(), METH_NOARGS,
     "get_graph_data($self)\n--\n\n"},
    {"get_graph_data_for_project",
     fastcall<sig::GetGraphDataForProject, get_graph_data_for_project>(), kFastcall,
     "get_graph_data_for_project($self, project_id)\n--\n\n"},
    {"add_association", fastcall<sig::AddAssociation, add_association>(), kFastcall,
     "add_association($self, concept_a, concept_b, project_id, initial_weight, current_time=0, "
     "salience=0.5, is_landmark=False)\n--\n\n"
     "Add a bidirectional association between two concepts.\n"
     "\n"
     "If the edge already exists, it is strengthened.\n"
     "`current_time` is used to set `created_at` on new edges.\n"
     "`salience` sets the importance (0.0\u20131.0, default 0.5).\n"
     "`is_landmark` makes the edge immune to decay."},
    {"decay_and_prune", fastcall<sig::DecayAndPrune, decay_and_prune>(), kFastcall,
     "decay_and_prune($self, decay_rate)\n--\n\n"
     "Decay all edge weights and prune dead edges.\n"
     "\n"
     "Landmark edges are immune to decay.\n"
     "Salience reduces effective decay rate.\n"
     "Returns the number of edges pruned."},
    {"spread_activation", fastcall<sig::SpreadActivation, spread_activation>(), kFastcall,
     "spread_activation($self, starting_nodes, current_project, current_time)\n--\n\n"
     "Spread activation from starting nodes through the graph.\n"
     "\n"
     "Energy propagates along edges, weighted by edge weight AND salience.\n"
     "Returns a map of activated concepts \u2192 energy levels."},
    {"detect_clusters", fastcall<sig::DetectClusters, detect_clusters>(), kFastcall,
     "detect_clusters($self, project_id, min_weight)\n--\n\n"
     "Detect natural concept clusters using connected components.\n"
     "\n"
     "Only considers edges above `min_weight` for the given project.\n"
     "Returns a list of clusters, each a list of concept names."},
    {"get_cluster_for_node", fastcall<sig::GetClusterForNode, get_cluster_for_node>(), kFastcall,
     "get_cluster_for_node($self, node, project_id)\n--\n\n"
     "Find all nodes in the same cluster as `node`."},
    {"cluster_label", fastcall<sig::ClusterLabel, cluster_label>(), kFastcall,
     "cluster_label($self, cluster)\n--\n\n"
     "Return the \"hub\" node of a cluster \u2014 highest total edge weight."},
    {"get_cluster_density", fastcall<sig::GetClusterDensity, get_cluster_density>(), kFastcall,
     "get_cluster_density($self, nodes, project_id)\n--\n\n"
     "Compute the average edge weight among all pairs in a node set.\n"
     "\n"
     "Used by SchemaDetector to assess cluster density / quality."},
    {"get_concepts_for_insight", fastcall<sig::GetConceptsForInsight, get_concepts_for_insight>(),
     kFastcall,
     "get_concepts_for_insight($self, insight_concepts, project_id)\n--\n\n"
     "Return all directly connected concepts and their max edge weights.\n"
     "\n"
     "Given the concepts belonging to an insight, returns all neighbours\n"
     "(excluding the input set) with the strongest link weight to each."},
    {"record_feedback", fastcall<sig::RecordFeedback, record_feedback>(), kFastcall,
     "record_feedback($self, concept_a, concept_b, was_useful, current_time)\n--\n\n"
     "Record a retrieval feedback event on an edge.\n"
     "\n"
     "Increments `retrieval_count`. If `was_useful`, also increments\n"
     "`useful_count` and strengthens the edge. If not useful, applies\n"
     "a gentle weight penalty."},
    {"_upsert_edge", fastcall<sig::UpsertEdge, upsert_edge>(), kFastcall,
     "_upsert_edge($self, a, b, pid, weight, current_time, salience, is_landmark)\n--\n\n"},
    {"promote_and_strengthen", fastcall<sig::PromoteAndStrengthen, promote_and_strengthen>(),
     kFastcall, "promote_and_strengthen($self, from, to)\n--\n\n"},
    {"strengthen_edge", fastcall<sig::StrengthenEdge, strengthen_edge>(), kFastcall,
     "strengthen_edge($self, from, to, current_time)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&graph_dealloc)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("LeanMemoryGraph()\n--\n\n")},
    {0, nullptr},
};

// "builtins." keeps the module's name out of the class's full name. No BASETYPE (final),
// no HAVE_GC (an instance holds no Python object), no dict or weak-reference slots.
// IMMUTABLETYPE, as for the built-in classes: a __new__ assigned to the class would let
// object.__new__ hand out an instance whose store was never made.
PyType_Spec g_type_shape = {
    "builtins.LeanMemoryGraph",
    static_cast<int>(sizeof(GraphObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

}  // namespace

PyObject* graph_type() noexcept {
  if (g_graph_type == nullptr) g_graph_type = PyType_FromSpec(&g_type_shape);
  return g_graph_type;
}

}  // namespace recall_mesh::binding
