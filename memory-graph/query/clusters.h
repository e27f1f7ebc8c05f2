// Cluster queries: connected groups of concepts within a project, a group's hub, a
// concept's cluster and the density of a set. Read-only. Query layer.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/adjacency_map.h"

namespace recall_mesh::query {

/// Clusters of two or more concepts joined by passing entries (project filter, weight at
/// least `min_weight`; a NaN weight or threshold passes nothing), each in breadth-first
/// order from its starting concept. The walk follows entries one way and never takes a
/// name twice, so every name is in at most one cluster. The result owns its names.
std::vector<std::vector<std::string>> detect_clusters(const store::AdjacencyMap& adj,
                                                      std::string_view project_id,
                                                      float min_weight);

/// The clusters of detect_clusters as name ids, laid out flat: cluster k is
/// ids[k == 0 ? 0 : ends[k - 1]] up to ids[ends[k]]. Lets a caller copy each name straight
/// from the store; the ids are valid while the store does not change.
struct ClusterIds {
  std::vector<store::NameId> ids;
  std::vector<std::size_t> ends;
};
ClusterIds detect_cluster_ids(const store::AdjacencyMap& adj, std::string_view project_id,
                              float min_weight);

/// The first cluster that detect_clusters would list at threshold 0.2f holding `node`, in
/// its own order, or a list holding only `node` (also when `node` is not in the graph).
std::vector<std::string> get_cluster_for_node(const store::AdjacencyMap& adj, std::string_view node,
                                              std::string_view project_id);

/// The listed name with the highest total entry weight, over every project, summed in
/// 32-bit floats in entry order; a name not in the graph totals 0. The earliest name wins
/// ties; "" for an empty list or when no total exceeds -1.
std::string cluster_label(const store::AdjacencyMap& adj,
                          std::span<const std::string_view> cluster);

/// The average weight over the pairs of list positions i < j that have an entry in the
/// project (nodes[i] -> nodes[j], or the mirror entry when that one is missing or of
/// another project); pairs without one do not count. 0 when no pair counts.
float get_cluster_density(const store::AdjacencyMap& adj, std::span<const std::string_view> nodes,
                          std::string_view project_id);

}  // namespace recall_mesh::query
