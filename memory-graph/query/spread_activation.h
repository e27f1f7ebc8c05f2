// Spreading activation: recall from a set of starting concepts within one project, and
// learn from it (reinforce the entries that carried energy, promote dormant ones).
// Query layer: includes the store only; the binding calls it.
#pragma once

#include <cstddef>
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

/// What one spread found, by id, before the graph learns from it. It refers to the store
/// and to the starting names: both must stay unchanged until learn() has run.
class SpreadPlan {
 public:
  /// The number of activated concepts, each once, in activation order.
  std::size_t size() const noexcept { return activated_.size(); }
  /// The name of the i-th activated concept; valid while the store and the starting names
  /// are unchanged.
  std::string_view name(std::size_t i) const noexcept {
    const Activated& a = activated_[i];
    return a.id == store::kNoName ? starting_nodes_[a.seed] : adj_->name(a.id);
  }
  float energy(std::size_t i) const noexcept { return activated_[i].energy; }
  /// Starts loading the name of the i-th activated concept, for loops that copy many.
  void prefetch_name(std::size_t i) const noexcept {
    if (activated_[i].id != store::kNoName) adj_->names().prefetch(activated_[i].id);
  }

  // An activated concept; a starting name the store has never seen has id kNoName and is
  // known by its position among the starting names.
  struct Activated {
    store::NameId id;
    float energy;
    std::uint32_t seed;
  };
  // A directed entry chosen for learning, by the ids of its two names. `position` is where
  // the traversal met it in its concept's entries: a hint that saves the search, checked
  // against `to` before it is trusted.
  struct Pair {
    store::NameId from;
    store::NameId to;
    std::uint32_t position;
  };

 private:
  friend SpreadPlan plan_spread(const store::AdjacencyMap&, std::span<const std::string_view>,
                                std::string_view, std::uint64_t);
  friend void learn(store::AdjacencyMap&, const SpreadPlan&) noexcept;

  const store::AdjacencyMap* adj_ = nullptr;
  std::span<const std::string_view> starting_nodes_;
  std::uint64_t current_time_ = 0;
  std::vector<Activated> activated_;
  std::vector<Pair> reinforce_;
  std::vector<Pair> promote_;
};

/// Spreads energy breadth-first from `starting_nodes` over the entries of
/// `current_project` and "Global", without changing the graph.
SpreadPlan plan_spread(const store::AdjacencyMap& adj,
                       std::span<const std::string_view> starting_nodes,
                       std::string_view current_project, std::uint64_t current_time);

/// The learning of a planned spread: every promotion, then every reinforcement, on the
/// entries that carried energy. `adj` is the store the plan was made on, unchanged since.
void learn(store::AdjacencyMap& adj, const SpreadPlan& plan) noexcept;

/// plan_spread, a copy of the activated names, then learn: returns each activated concept
/// once, in activation order.
std::vector<Activation> spread_activation(store::AdjacencyMap& adj,
                                          std::span<const std::string_view> starting_nodes,
                                          std::string_view current_project,
                                          std::uint64_t current_time);

}  // namespace recall_mesh::query
