// Every Python method of the class, each described once: name, parameters with their
// kinds and defaults, the access it takes, doc text. The parser's tables, the doc string
// and the method-table entry all come from these (method_spec.h, method_entry.h);
// graph_type.cpp binds each to the function that runs it and sets the registration
// order, and the benchmark module binds some of them to a no-op.
//
// Binding layer only.
#pragma once

#include "borrow.h"
#include "method_spec.h"

namespace recall_mesh::binding {

/// The constructor's parameter list (none); its parsing messages name "__new__".
inline constexpr auto kNew = method("__new__", Access::kNone);
/// What follows the class's name in its doc string: the text signature of that
/// constructor, "()", and no doc.
inline constexpr const char* kClassDocTail = "()\n--\n\n";

inline constexpr auto kNodeCount = method("node_count", Access::kShared);

inline constexpr auto kEdgeCount = method("edge_count", Access::kShared);

inline constexpr auto kSaveToJson = method("save_to_json", Access::kShared, {str("path")});

inline constexpr auto kToJsonStr = method("to_json_str", Access::kShared);

inline constexpr auto kLoadFromJson = method("load_from_json", Access::kNone, {str("path")});

inline constexpr auto kGetGraphData = method("get_graph_data", Access::kShared);

inline constexpr auto kGetGraphDataForProject =
    method("get_graph_data_for_project", Access::kShared, {str("project_id")});

inline constexpr auto kAddAssociation =
    method("add_association", Access::kExclusive,
           {str("concept_a"), str("concept_b"), str("project_id"), f32("initial_weight"),
            with_default(u64("current_time"), "0"), with_default(f32("salience"), "0.5"),
            with_default(boolean("is_landmark"), "False")},
           "Add a bidirectional association between two concepts.\n"
           "\n"
           "If the edge already exists, it is strengthened.\n"
           "`current_time` is used to set `created_at` on new edges.\n"
           "`salience` sets the importance (0.0\u20131.0, default 0.5).\n"
           "`is_landmark` makes the edge immune to decay.");

inline constexpr auto kDecayAndPrune =
    method("decay_and_prune", Access::kExclusive, {f32("decay_rate")},
           "Decay all edge weights and prune dead edges.\n"
           "\n"
           "Landmark edges are immune to decay.\n"
           "Salience reduces effective decay rate.\n"
           "Returns the number of edges pruned.");

inline constexpr auto kSpreadActivation =
    method("spread_activation", Access::kExclusive,
           {str_list("starting_nodes"), str("current_project"), u64("current_time")},
           "Spread activation from starting nodes through the graph.\n"
           "\n"
           "Energy propagates along edges, weighted by edge weight AND salience.\n"
           "Returns a map of activated concepts \u2192 energy levels.");

inline constexpr auto kDetectClusters =
    method("detect_clusters", Access::kShared, {str("project_id"), f32("min_weight")},
           "Detect natural concept clusters using connected components.\n"
           "\n"
           "Only considers edges above `min_weight` for the given project.\n"
           "Returns a list of clusters, each a list of concept names.");

inline constexpr auto kGetClusterForNode =
    method("get_cluster_for_node", Access::kShared, {str("node"), str("project_id")},
           "Find all nodes in the same cluster as `node`.");

inline constexpr auto kClusterLabel =
    method("cluster_label", Access::kShared, {str_list("cluster")},
           "Return the \"hub\" node of a cluster \u2014 highest total edge weight.");

inline constexpr auto kGetClusterDensity =
    method("get_cluster_density", Access::kShared, {str_list("nodes"), str("project_id")},
           "Compute the average edge weight among all pairs in a node set.\n"
           "\n"
           "Used by SchemaDetector to assess cluster density / quality.");

inline constexpr auto kGetConceptsForInsight = method(
    "get_concepts_for_insight", Access::kShared, {str_list("insight_concepts"), str("project_id")},
    "Return all directly connected concepts and their max edge weights.\n"
    "\n"
    "Given the concepts belonging to an insight, returns all neighbours\n"
    "(excluding the input set) with the strongest link weight to each.");

inline constexpr auto kRecordFeedback =
    method("record_feedback", Access::kExclusive,
           {str("concept_a"), str("concept_b"), boolean("was_useful"), u64("current_time")},
           "Record a retrieval feedback event on an edge.\n"
           "\n"
           "Increments `retrieval_count`. If `was_useful`, also increments\n"
           "`useful_count` and strengthens the edge. If not useful, applies\n"
           "a gentle weight penalty.");

inline constexpr auto kUpsertEdge =
    method("_upsert_edge", Access::kExclusive,
           {str("a"), str("b"), str("pid"), f32("weight"), u64("current_time"), f32("salience"),
            boolean("is_landmark")});

inline constexpr auto kPromoteAndStrengthen =
    method("promote_and_strengthen", Access::kExclusive, {str("from"), str("to")});

inline constexpr auto kStrengthenEdge =
    method("strengthen_edge", Access::kExclusive, {str("from"), str("to"), u64("current_time")});

}  // namespace recall_mesh::binding
