#include "graph_type.h"

#include <array>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>
#include <variant>

#include "errors.h"
#include "method_entry.h"
#include "methods.h"
#include "persist/document.h"
#include "query/clusters.h"
#include "query/graph_export.h"
#include "query/insight.h"
#include "query/spread_activation.h"
#include "results.h"
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
    std::array<PyObject*, kNew.kCount> in;
    if (!parse_tuple_dict(parameters<kNew>(), GraphObject::kClassName, args, kwargs, in.data())) {
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

// ----- the methods ----------------------------------------------------------------------
// Each runs with its borrow held and its arguments converted (method_entry.h).

PyObject* node_count(GraphObject& g) {
  return new_int(g.adj.node_count());
}

PyObject* edge_count(GraphObject& g) {
  return new_int(g.adj.edge_count());
}

PyObject* save_to_json(GraphObject& g, std::string_view path) {
  if (auto error = persist::save_to_json(g.adj, path)) return set_persist_error(*error);
  return new_none();
}

PyObject* to_json_str(GraphObject& g) {
  auto text = persist::to_json_str(g.adj);
  if (const auto* error = std::get_if<persist::Error>(&text)) return set_persist_error(*error);
  return new_document_str(std::get<std::string>(text));
}

PyObject* load_from_json(std::string_view path) {
  auto loaded = persist::load_from_json(path);
  if (auto* error = std::get_if<persist::Error>(&loaded)) return set_persist_error(*error);
  // get_if rather than get: the other alternative was ruled out just above.
  return new_instance(reinterpret_cast<PyTypeObject*>(g_graph_type),
                      std::move(*std::get_if<store::AdjacencyMap>(&loaded)));
}

PyObject* get_graph_data(GraphObject& g) {
  return new_graph_dict(query::get_graph_data(g.adj));
}

PyObject* get_graph_data_for_project(GraphObject& g, std::string_view project_id) {
  return new_graph_dict(query::get_graph_data_for_project(g.adj, project_id));
}

PyObject* add_association(GraphObject& g, std::string_view concept_a, std::string_view concept_b,
                          std::string_view project_id, float initial_weight,
                          std::uint64_t current_time, float salience, bool is_landmark) {
  store::add_association(g.adj, concept_a, concept_b, project_id, initial_weight, current_time,
                         salience, is_landmark);
  return new_none();
}

PyObject* decay_and_prune(GraphObject& g, float decay_rate) {
  return new_int(store::decay_and_prune(g.adj, decay_rate));
}

PyObject* spread_activation(GraphObject& g, const StrList& starting_nodes,
                            std::string_view current_project, std::uint64_t current_time) {
  const query::SpreadPlan plan =
      query::plan_spread(g.adj, starting_nodes, current_project, current_time);
  // The graph learns only once the result exists: a failure to build it leaves the graph
  // exactly as the call found it.
  PyObject* result = new_energy_dict(plan);
  if (result != nullptr) query::learn(g.adj, plan);
  return result;
}

PyObject* detect_clusters(GraphObject& g, std::string_view project_id, float min_weight) {
  return new_cluster_lists(g.adj, query::detect_cluster_ids(g.adj, project_id, min_weight));
}

PyObject* get_cluster_for_node(GraphObject& g, std::string_view node, std::string_view project_id) {
  return new_str_list(query::get_cluster_for_node(g.adj, node, project_id));
}

PyObject* cluster_label(GraphObject& g, const StrList& cluster) {
  return new_str(query::cluster_label(g.adj, cluster));
}

PyObject* get_cluster_density(GraphObject& g, const StrList& nodes, std::string_view project_id) {
  return new_float(query::get_cluster_density(g.adj, nodes, project_id));
}

PyObject* get_concepts_for_insight(GraphObject& g, const StrList& insight_concepts,
                                   std::string_view project_id) {
  return new_insight_dict(g.adj, query::insight_neighbours(g.adj, insight_concepts, project_id));
}

PyObject* record_feedback(GraphObject& g, std::string_view concept_a, std::string_view concept_b,
                          bool was_useful, std::uint64_t current_time) {
  store::record_feedback(g.adj, concept_a, concept_b, was_useful, current_time);
  return new_none();
}

PyObject* upsert_edge(GraphObject& g, std::string_view a, std::string_view b, std::string_view pid,
                      float weight, std::uint64_t current_time, float salience, bool is_landmark) {
  store::upsert_edge(g.adj, a, b, pid, weight, current_time, salience, is_landmark);
  return new_none();
}

PyObject* promote_and_strengthen(GraphObject& g, std::string_view from, std::string_view to) {
  store::promote_and_strengthen(g.adj, from, to);
  return new_none();
}

PyObject* strengthen_edge(GraphObject& g, std::string_view from, std::string_view to,
                          std::uint64_t current_time) {
  store::strengthen_edge(g.adj, from, to, current_time);
  return new_none();
}

// ----- the type -------------------------------------------------------------------------

// In registration order.
using GraphMethods = MethodTable<
    GraphObject, Def<kNodeCount, node_count>, Def<kEdgeCount, edge_count>,
    Def<kSaveToJson, save_to_json>, Def<kToJsonStr, to_json_str>,
    Def<kLoadFromJson, load_from_json>, Def<kGetGraphData, get_graph_data>,
    Def<kGetGraphDataForProject, get_graph_data_for_project>, Def<kAddAssociation, add_association>,
    Def<kDecayAndPrune, decay_and_prune>, Def<kSpreadActivation, spread_activation>,
    Def<kDetectClusters, detect_clusters>, Def<kGetClusterForNode, get_cluster_for_node>,
    Def<kClusterLabel, cluster_label>, Def<kGetClusterDensity, get_cluster_density>,
    Def<kGetConceptsForInsight, get_concepts_for_insight>, Def<kRecordFeedback, record_feedback>,
    Def<kUpsertEdge, upsert_edge>, Def<kPromoteAndStrengthen, promote_and_strengthen>,
    Def<kStrengthenEdge, strengthen_edge>>;

constexpr const char* kTypeModule = "builtins.";

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&graph_dealloc)},
    {Py_tp_methods, GraphMethods::entries},
    {Py_tp_doc, const_cast<char*>(kJoined<GraphObject::kClassName, kClassDocTail>.data())},
    {0, nullptr},
};

// kTypeModule keeps the module's name out of the class's full name. No BASETYPE (final),
// no HAVE_GC (an instance holds no Python object), no dict or weak-reference slots.
// IMMUTABLETYPE, as for the built-in classes: a __new__ assigned to the class would let
// object.__new__ hand out an instance whose store was never made.
PyType_Spec g_type_shape = {
    kJoined<kTypeModule, GraphObject::kClassName>.data(),
    static_cast<int>(sizeof(GraphObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_slots,
};

}  // namespace

PyObject* graph_type() noexcept {
  if (g_graph_type != nullptr) return g_graph_type;
  if (!GraphMethods::intern_names()) return nullptr;
  g_graph_type = PyType_FromSpec(&g_type_shape);
  return g_graph_type;
}

}  // namespace recall_mesh::binding
