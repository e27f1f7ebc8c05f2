// The operations that write entries: association, reinforcement, promotion, feedback and
// decay. Each takes plain values, applies the edge steps of edge_steps.h and skips a
// missing concept or entry without complaint. Any layer may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "adjacency_map.h"

namespace recall_mesh::store {

/// Creates or re-affirms a -> b (one direction). A new entry starts from the given values
/// and then takes the association step, as an existing one does.
void upsert_edge(AdjacencyMap& adj, std::string_view a, std::string_view b,
                 std::string_view project_id, float weight, std::uint64_t current_time,
                 float salience, bool is_landmark);

/// Upserts concept_a -> concept_b, then concept_b -> concept_a, with the same values.
void add_association(AdjacencyMap& adj, std::string_view concept_a, std::string_view concept_b,
                     std::string_view project_id, float initial_weight, std::uint64_t current_time,
                     float salience, bool is_landmark);

/// The reinforcement step on from -> to, if that entry exists.
void strengthen_edge(AdjacencyMap& adj, std::string_view from, std::string_view to,
                     std::uint64_t current_time) noexcept;

/// The promotion step on from -> to, if that entry exists.
void promote_and_strengthen(AdjacencyMap& adj, std::string_view from, std::string_view to) noexcept;

/// Feedback on a -> b and then on b -> a, each only if it exists.
void record_feedback(AdjacencyMap& adj, std::string_view concept_a, std::string_view concept_b,
                     bool was_useful, std::uint64_t current_time) noexcept;

/// Decays every entry, removes the dead ones and then every concept left without
/// entries. Returns the number of entries removed. Allocates nothing.
std::size_t decay_and_prune(AdjacencyMap& adj, float decay_rate) noexcept;

}  // namespace recall_mesh::store
