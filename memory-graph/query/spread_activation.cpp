#include "spread_activation.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include <tsl/robin_set.h>

#include "store/edge_steps.h"
#include "store/name_hash.h"
#include "store/project_filter.h"

namespace recall_mesh::query {
namespace {

using store::MemoryEdge;
using store::NameId;
using store::NeighbourMap;

// Both thresholds are compared as 32-bit floats, so an entry carrying exactly the 32-bit
// 0.1 (weight 0.2, salience 0.5 from a seed) activates its neighbour.
constexpr float kSeedEnergy = 1.0f;
constexpr float kActivationThreshold = 0.1f;
constexpr float kPromotionFloor = 0.05f;
constexpr std::uint8_t kDormantAbove = 7;

// Concepts are looked up this many at a time: the lookups of one batch are independent,
// so their cache misses overlap instead of waiting one behind the other.
constexpr std::size_t kBatch = 16;

// One bit per name id, sized from the pool's id bound: testing a bit is far cheaper than
// hashing a name. calloc rather than a zero-filled vector: a large fresh block comes
// zeroed from the system, so a small spread over a big graph only touches the pages its
// few ids fall on.
class VisitedSet {
 public:
  explicit VisitedSet(std::size_t id_bound)
      : words_(static_cast<std::uint64_t*>(std::calloc(id_bound / 64 + 1, sizeof(std::uint64_t)))) {
    if (!words_) throw std::bad_alloc();
  }
  bool contains(NameId id) const noexcept { return (words_[id >> 6] >> (id & 63U)) & 1U; }
  void insert(NameId id) noexcept { words_[id >> 6] |= std::uint64_t{1} << (id & 63U); }

 private:
  struct Free {
    void operator()(std::uint64_t* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<std::uint64_t[], Free> words_;
};

struct Queued {
  NameId node;
  float energy;
};

using Pair = SpreadPlan::Pair;

// Fills maps[i] with the neighbour map of id_at(i), or nullptr, and starts loading the
// first entries of each.
template <class Graph, class Map, class IdAt>
void resolve_batch(Graph& graph, std::size_t count, IdAt id_at,
                   std::array<Map*, kBatch>& maps) noexcept {
  for (std::size_t i = 0; i < count; ++i) maps[i] = graph.find_concept(id_at(i));
  for (std::size_t i = 0; i < count; ++i) {
    if (maps[i] != nullptr) maps[i]->prefetch();
  }
}

// Applies `step` to each listed entry that still exists, in list order.
template <class Step>
void apply_in_order(store::AdjacencyMap& adj, const std::vector<Pair>& pairs, Step step) noexcept {
  std::array<NeighbourMap*, kBatch> maps{};
  for (std::size_t start = 0; start < pairs.size(); start += kBatch) {
    const std::size_t count = std::min(kBatch, pairs.size() - start);
    resolve_batch(
        adj, count, [&](std::size_t i) { return pairs[start + i].from; }, maps);
    for (std::size_t i = 0; i < count; ++i) {
      if (maps[i] == nullptr) continue;
      const Pair& p = pairs[start + i];
      const std::span<MemoryEdge> entries = maps[i]->entries();
      MemoryEdge* e = p.position < entries.size() && entries[p.position].neighbour == p.to
                          ? &entries[p.position]
                          : maps[i]->find(p.to);
      if (e != nullptr) step(*e);
    }
  }
}

}  // namespace

SpreadPlan plan_spread(const store::AdjacencyMap& graph,
                       std::span<const std::string_view> starting_nodes,
                       std::string_view current_project, std::uint64_t current_time) {
  // The plan holds ids only: the traversal reads the graph and changes nothing.
  SpreadPlan plan;
  plan.adj_ = &graph;
  plan.starting_nodes_ = starting_nodes;
  plan.current_time_ = current_time;
  std::vector<SpreadPlan::Activated>& activated = plan.activated_;
  std::vector<Pair>& reinforce = plan.reinforce_;
  std::vector<Pair>& promote = plan.promote_;
  VisitedSet visited(graph.id_bound());
  std::vector<Queued> frontier;
  // Starting names that are not interned cannot be reached by any entry; this set only
  // keeps a repeated one from being returned twice. It allocates only when used.
  tsl::robin_set<std::string_view, store::NameHasher> unknown_seeds;

  frontier.reserve(starting_nodes.size());
  for (std::size_t i = 0; i < starting_nodes.size(); ++i) {
    const std::string_view name = starting_nodes[i];
    const NameId id = graph.find_name(name);
    if (id == store::kNoName) {
      if (unknown_seeds.insert(name).second) {
        activated.push_back({id, kSeedEnergy, static_cast<std::uint32_t>(i)});
      }
      continue;
    }
    // A repeated starting name is activated and expanded once. Expanding it again, with
    // the same energy, would reach nothing new (all it reaches is marked visited by then)
    // and would only list its entries again for a reinforcement that the first listing's
    // cool-down blocks; a list of one name many times would grow that list without bound.
    if (visited.contains(id)) continue;
    visited.insert(id);
    activated.push_back({id, kSeedEnergy, 0});
    frontier.push_back({id, kSeedEnergy});
  }

  const store::ProjectFilter filter(graph, current_project);
  std::array<const NeighbourMap*, kBatch> maps{};
  for (std::size_t head = 0; head < frontier.size();) {
    // The batch takes concepts already queued; those it queues come in later batches.
    const std::size_t count = std::min(kBatch, frontier.size() - head);
    resolve_batch(
        graph, count, [&](std::size_t i) { return frontier[head + i].node; }, maps);
    for (std::size_t b = 0; b < count; ++b, ++head) {
      const Queued current = frontier[head];  // a copy: pushing may move the queue
      if (maps[b] == nullptr) continue;
      const std::span<const MemoryEdge> entries = maps[b]->entries();
      for (std::size_t k = 0; k < entries.size(); ++k) {
        const MemoryEdge& e = entries[k];
        if (!filter.passes(e)) continue;
        const float t = (e.weight * current.energy) * e.salience;
        const auto position = static_cast<std::uint32_t>(k);
        // Listed before the visited test: an entry back into an activated concept still
        // carried the energy and is reinforced. An entry still cooling down is left off:
        // this call can only move its last reinforcement to now, so the step would find
        // it cooling down then too.
        if (t >= kActivationThreshold && store::cool_down_over(e, current_time)) {
          reinforce.push_back({current.node, e.neighbour, position});
        }
        if (visited.contains(e.neighbour)) continue;  // first arrival wins
        if (t < kActivationThreshold && e.latency_tier > kDormantAbove && t >= kPromotionFloor) {
          // A dormant entry that carried a little energy wakes its neighbour, which spreads
          // from the seed energy but is not reported as activated.
          promote.push_back({current.node, e.neighbour, position});
          visited.insert(e.neighbour);
          frontier.push_back({e.neighbour, kSeedEnergy});
        } else if (t >= kActivationThreshold) {
          visited.insert(e.neighbour);
          activated.push_back({e.neighbour, t, 0});
          frontier.push_back({e.neighbour, t});
        }
        // A NaN t fails every comparison above: not reinforced, promoted or followed.
      }
    }
  }
  return plan;
}

void learn(store::AdjacencyMap& adj, const SpreadPlan& plan) noexcept {
  // Each step on the entry in the direction the energy flowed, through the store's own
  // steps: every promotion first, then every reinforcement.
  const std::uint64_t now = plan.current_time_;
  apply_in_order(adj, plan.promote_, [](MemoryEdge& e) { store::promotion_step(e); });
  apply_in_order(adj, plan.reinforce_, [now](MemoryEdge& e) { store::reinforcement_step(e, now); });
}

std::vector<Activation> spread_activation(store::AdjacencyMap& adj,
                                          std::span<const std::string_view> starting_nodes,
                                          std::string_view current_project,
                                          std::uint64_t current_time) {
  const SpreadPlan plan = plan_spread(adj, starting_nodes, current_project, current_time);
  // The result is built before the graph changes, so running out of memory here leaves
  // the graph exactly as the call found it.
  std::vector<Activation> result;
  result.reserve(plan.size());
  constexpr std::size_t kNameAhead = 8;  // names are scattered: ask for them early
  for (std::size_t i = 0; i < plan.size(); ++i) {
    if (i + kNameAhead < plan.size()) plan.prefetch_name(i + kNameAhead);
    result.push_back({std::string(plan.name(i)), plan.energy(i)});
  }
  learn(adj, plan);
  return result;
}

}  // namespace recall_mesh::query
