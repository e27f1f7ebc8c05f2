// Spreading activation: recall from a set of starting concepts within one project, and
// learn from it (reinforce the entries that carried energy, promote dormant ones).
// Query layer: includes the store only; the binding calls it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/adjacency_map.h"

namespace recall_mesh::query {

struct Activation {
  std::string name;
  float energy;
};

/// Spreads energy breadth-first from `starting_nodes` over the entries of
/// `current_project` and "Global", then promotes and reinforces what carried energy.
/// Returns each activated concept once, in activation order.
std::vector<Activation> spread_activation(store::AdjacencyMap& adj,
                                          std::span<const std::string> starting_nodes,
                                          std::string_view current_project,
                                          std::uint64_t current_time);

}  // namespace recall_mesh::query
