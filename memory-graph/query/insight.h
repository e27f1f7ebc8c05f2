// Insight neighbours: the concepts linked to a group, outside it, with the strongest
// weight joining each to the group. Read-only. Query layer.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/adjacency_map.h"

namespace recall_mesh::query {

struct InsightNeighbour {
  store::NameId id;
  float weight;
};

/// Each neighbour of a member of `insight_concepts` (not itself a member) over entries of
/// `project_id` or "Global", with its strongest weight (a NaN never hides a number). Only
/// the members' own entries are read; names not in the graph add nothing. Each neighbour
/// once, in no particular order, by id: its name is adj.name(id) while the store's names
/// do not change.
std::vector<InsightNeighbour> insight_neighbours(const store::AdjacencyMap& adj,
                                                 std::span<const std::string_view> insight_concepts,
                                                 std::string_view project_id);

/// The same, with each name copied out of the store.
std::vector<std::pair<std::string, float>> get_concepts_for_insight(
    const store::AdjacencyMap& adj, std::span<const std::string_view> insight_concepts,
    std::string_view project_id);

}  // namespace recall_mesh::query
