// Cluster queries: connected groups of concepts within a project, a group's hub, a
// concept's cluster and the density of a set. Read-only. Query layer.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/adjacency_map.h"

namespace recall_mesh::query {

/// Clusters of two or more concepts joined by passing entries (project filter, weight at
/// least `min_weight`), each in breadth-first order from its starting concept.
std::vector<std::vector<std::string>> detect_clusters(const store::AdjacencyMap& adj,
                                                      std::string_view project_id,
                                                      float min_weight);

/// The first cluster (threshold 0.2) holding `node`, or a list holding only `node`.
std::vector<std::string> get_cluster_for_node(const store::AdjacencyMap& adj, std::string_view node,
                                              std::string_view project_id);

/// The listed name with the highest total entry weight (earliest wins ties), or "".
std::string cluster_label(const store::AdjacencyMap& adj, std::span<const std::string> cluster);

/// The average weight over the pairs of `nodes` that have an entry in the project.
float get_cluster_density(const store::AdjacencyMap& adj, std::span<const std::string> nodes,
                          std::string_view project_id);

}  // namespace recall_mesh::query
