#include "signatures.h"

#include <array>

#include "convert.h"

namespace recall_mesh::binding::sig {
namespace {

// One parameter-name table per method, and beside it the slots for its interned names.
template <std::size_t N>
struct Names {
  std::array<const char*, N> text;
  std::array<PyObject*, N> interned{};
};

Names<1> g_save_to_json{{"path"}};
Names<1> g_load_from_json{{"path"}};
Names<1> g_get_graph_data_for_project{{"project_id"}};
Names<7> g_add_association{{"concept_a", "concept_b", "project_id", "initial_weight",
                            "current_time", "salience", "is_landmark"}};
Names<1> g_decay_and_prune{{"decay_rate"}};
Names<3> g_spread_activation{{"starting_nodes", "current_project", "current_time"}};
Names<2> g_detect_clusters{{"project_id", "min_weight"}};
Names<2> g_get_cluster_for_node{{"node", "project_id"}};
Names<1> g_cluster_label{{"cluster"}};
Names<2> g_get_cluster_density{{"nodes", "project_id"}};
Names<2> g_get_concepts_for_insight{{"insight_concepts", "project_id"}};
Names<4> g_record_feedback{{"concept_a", "concept_b", "was_useful", "current_time"}};
Names<7> g_upsert_edge{{"a", "b", "pid", "weight", "current_time", "salience", "is_landmark"}};
Names<2> g_promote_and_strengthen{{"from", "to"}};
Names<3> g_strengthen_edge{{"from", "to", "current_time"}};

template <std::size_t N>
constexpr ParamList params(const char* method, Names<N>& names, std::size_t required) {
  return ParamList{method, names.text.data(), N, required, names.interned.data()};
}

}  // namespace

const ParamList Constructor::kParams{"__new__", nullptr, 0, 0, nullptr};
const ParamList SaveToJson::kParams = params("save_to_json", g_save_to_json, 1);
const ParamList LoadFromJson::kParams = params("load_from_json", g_load_from_json, 1);
const ParamList GetGraphDataForProject::kParams =
    params("get_graph_data_for_project", g_get_graph_data_for_project, 1);
// Only add_association has defaults: current_time, salience and is_landmark.
const ParamList AddAssociation::kParams = params("add_association", g_add_association, 4);
const ParamList DecayAndPrune::kParams = params("decay_and_prune", g_decay_and_prune, 1);
const ParamList SpreadActivation::kParams = params("spread_activation", g_spread_activation, 3);
const ParamList DetectClusters::kParams = params("detect_clusters", g_detect_clusters, 2);
const ParamList GetClusterForNode::kParams =
    params("get_cluster_for_node", g_get_cluster_for_node, 2);
const ParamList ClusterLabel::kParams = params("cluster_label", g_cluster_label, 1);
const ParamList GetClusterDensity::kParams =
    params("get_cluster_density", g_get_cluster_density, 2);
const ParamList GetConceptsForInsight::kParams =
    params("get_concepts_for_insight", g_get_concepts_for_insight, 2);
const ParamList RecordFeedback::kParams = params("record_feedback", g_record_feedback, 4);
const ParamList UpsertEdge::kParams = params("_upsert_edge", g_upsert_edge, 7);
const ParamList PromoteAndStrengthen::kParams =
    params("promote_and_strengthen", g_promote_and_strengthen, 2);
const ParamList StrengthenEdge::kParams = params("strengthen_edge", g_strengthen_edge, 3);

bool intern_all_parameter_names() noexcept {
  for (const ParamList* p :
       {&SaveToJson::kParams, &LoadFromJson::kParams, &GetGraphDataForProject::kParams,
        &AddAssociation::kParams, &DecayAndPrune::kParams, &SpreadActivation::kParams,
        &DetectClusters::kParams, &GetClusterForNode::kParams, &ClusterLabel::kParams,
        &GetClusterDensity::kParams, &GetConceptsForInsight::kParams, &RecordFeedback::kParams,
        &UpsertEdge::kParams, &PromoteAndStrengthen::kParams, &StrengthenEdge::kParams}) {
    if (!intern_parameter_names(*p)) return false;
  }
  return true;
}

// Each converter reads its parameters in signature order; `&&` stops at the first failure.
// An omitted optional argument (null) keeps the default in Args.

bool PathArgs::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "path", out.path);
}

bool GetGraphDataForProject::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "project_id", out.project_id);
}

bool AddAssociation::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "concept_a", out.concept_a) && to_str(in[1], "concept_b", out.concept_b) &&
         to_str(in[2], "project_id", out.project_id) &&
         to_f32(in[3], "initial_weight", out.initial_weight) &&
         (in[4] == nullptr || to_u64(in[4], "current_time", out.current_time)) &&
         (in[5] == nullptr || to_f32(in[5], "salience", out.salience)) &&
         (in[6] == nullptr || to_bool(in[6], "is_landmark", out.is_landmark));
}

bool DecayAndPrune::convert(PyObject* const* in, Args& out) {
  return to_f32(in[0], "decay_rate", out.decay_rate);
}

bool SpreadActivation::convert(PyObject* const* in, Args& out) {
  return to_str_list(in[0], "starting_nodes", out.starting_nodes) &&
         to_str(in[1], "current_project", out.current_project) &&
         to_u64(in[2], "current_time", out.current_time);
}

bool DetectClusters::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "project_id", out.project_id) && to_f32(in[1], "min_weight", out.min_weight);
}

bool GetClusterForNode::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "node", out.node) && to_str(in[1], "project_id", out.project_id);
}

bool ClusterLabel::convert(PyObject* const* in, Args& out) {
  return to_str_list(in[0], "cluster", out.cluster);
}

bool GetClusterDensity::convert(PyObject* const* in, Args& out) {
  return to_str_list(in[0], "nodes", out.nodes) && to_str(in[1], "project_id", out.project_id);
}

bool GetConceptsForInsight::convert(PyObject* const* in, Args& out) {
  return to_str_list(in[0], "insight_concepts", out.insight_concepts) &&
         to_str(in[1], "project_id", out.project_id);
}

bool RecordFeedback::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "concept_a", out.concept_a) && to_str(in[1], "concept_b", out.concept_b) &&
         to_bool(in[2], "was_useful", out.was_useful) &&
         to_u64(in[3], "current_time", out.current_time);
}

bool UpsertEdge::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "a", out.a) && to_str(in[1], "b", out.b) && to_str(in[2], "pid", out.pid) &&
         to_f32(in[3], "weight", out.weight) && to_u64(in[4], "current_time", out.current_time) &&
         to_f32(in[5], "salience", out.salience) && to_bool(in[6], "is_landmark", out.is_landmark);
}

bool PromoteAndStrengthen::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "from", out.from) && to_str(in[1], "to", out.to);
}

bool StrengthenEdge::convert(PyObject* const* in, Args& out) {
  return to_str(in[0], "from", out.from) && to_str(in[1], "to", out.to) &&
         to_u64(in[2], "current_time", out.current_time);
}

}  // namespace recall_mesh::binding::sig
