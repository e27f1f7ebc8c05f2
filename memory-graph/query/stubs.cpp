// Placeholders until the query layer lands; every function returns an empty result.
#include "clusters.h"
#include "graph_export.h"
#include "insight.h"
#include "spread_activation.h"

namespace recall_mesh::query {

std::vector<Activation> spread_activation(store::AdjacencyMap&, std::span<const std::string>,
                                          std::string_view, std::uint64_t) {
  return {};
}
std::vector<std::vector<std::string>> detect_clusters(const store::AdjacencyMap&, std::string_view,
                                                      float) {
  return {};
}
std::vector<std::string> get_cluster_for_node(const store::AdjacencyMap&, std::string_view node,
                                              std::string_view) {
  return {std::string(node)};
}
std::string cluster_label(const store::AdjacencyMap&, std::span<const std::string>) {
  return {};
}
float get_cluster_density(const store::AdjacencyMap&, std::span<const std::string>,
                          std::string_view) {
  return 0.0f;
}
std::vector<std::pair<std::string, float>> get_concepts_for_insight(const store::AdjacencyMap&,
                                                                    std::span<const std::string>,
                                                                    std::string_view) {
  return {};
}
GraphData get_graph_data(const store::AdjacencyMap&) {
  return {};
}
GraphData get_graph_data_for_project(const store::AdjacencyMap&, std::string_view) {
  return {};
}

}  // namespace recall_mesh::query
