#include "clusters.h"

// Placeholder until this query lands.
namespace recall_mesh::query {

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

}  // namespace recall_mesh::query
