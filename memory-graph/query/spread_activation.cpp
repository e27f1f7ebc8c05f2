#include "spread_activation.h"

#include <cstddef>
#include <functional>
#include <utility>

#include <tsl/robin_set.h>

#include "store/graph_ops.h"
#include "store/project_filter.h"

namespace recall_mesh::query {
namespace {

using store::NameId;

// Both thresholds are compared as 32-bit floats, so an entry carrying exactly the 32-bit
// 0.1 (weight 0.2, salience 0.5 from a seed) activates its neighbour.
constexpr float kSeedEnergy = 1.0f;
constexpr float kActivationThreshold = 0.1f;
constexpr float kPromotionFloor = 0.05f;
constexpr std::uint8_t kDormantAbove = 7;

// One bit per name id. Sized once per call from the pool's id bound: clearing a bit
// array is far cheaper than hashing every visited name, and it needs no per-name memory.
class VisitedSet {
 public:
  explicit VisitedSet(std::size_t id_bound) : words_((id_bound + 63) / 64, 0) {}
  bool contains(NameId id) const noexcept { return (words_[id >> 6] >> (id & 63U)) & 1U; }
  void insert(NameId id) noexcept { words_[id >> 6] |= std::uint64_t{1} << (id & 63U); }

 private:
  std::vector<std::uint64_t> words_;
};

struct Queued {
  NameId node;
  float energy;
};

// An activated concept. Names given as starting nodes that the store has never seen have
// no id; they are kept by their position in the argument list instead.
struct Activated {
  NameId id;
  float energy;
  std::size_t seed_index;
};

struct Pair {
  NameId from;
  NameId to;
};

}  // namespace

std::vector<Activation> spread_activation(store::AdjacencyMap& adj,
                                          std::span<const std::string> starting_nodes,
                                          std::string_view current_project,
                                          std::uint64_t current_time) {
  // The working state holds ids only. They stay valid through the learning phase, which
  // changes fields of existing entries but never adds or removes a name.
  VisitedSet visited(adj.id_bound());
  std::vector<Queued> frontier;
  std::vector<Activated> activated;
  std::vector<Pair> reinforce;
  std::vector<Pair> promote;
  // Starting names that are not interned cannot be reached by any entry; this set only
  // keeps a repeated one from being returned twice. Built lazily: it is usually empty.
  tsl::robin_set<std::string_view, std::hash<std::string_view>> unknown_seeds;

  frontier.reserve(starting_nodes.size());
  for (std::size_t i = 0; i < starting_nodes.size(); ++i) {
    const std::string& name = starting_nodes[i];
    const NameId id = adj.find_name(name);
    if (id == store::kNoName) {
      if (unknown_seeds.insert(name).second) {
        activated.push_back({id, kSeedEnergy, i});
      }
      continue;
    }
    // A repeated starting name is queued once per occurrence but activated once.
    if (!visited.contains(id)) {
      visited.insert(id);
      activated.push_back({id, kSeedEnergy, i});
    }
    frontier.push_back({id, kSeedEnergy});
  }

  const store::AdjacencyMap& graph = adj;  // the traversal only reads
  const store::ProjectFilter filter(graph, current_project);
  for (std::size_t head = 0; head < frontier.size(); ++head) {
    const Queued current = frontier[head];  // a copy: pushing may move the queue
    const store::NeighbourMap* map = graph.find_concept(current.node);
    if (map == nullptr) continue;
    for (const store::MemoryEdge& e : map->entries()) {
      if (!filter.passes(e)) continue;
      const float t = (e.weight * current.energy) * e.salience;
      // Listed before the visited test: an entry back into an activated concept still
      // carried the energy and is reinforced.
      if (t >= kActivationThreshold) reinforce.push_back({current.node, e.neighbour});
      if (visited.contains(e.neighbour)) continue;  // first arrival wins
      if (t < kActivationThreshold && e.latency_tier > kDormantAbove && t >= kPromotionFloor) {
        // A dormant entry that carried a little energy wakes its neighbour, which spreads
        // from the seed energy but is not reported as activated.
        promote.push_back({current.node, e.neighbour});
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

  // The result is built before the graph changes, so running out of memory here leaves
  // the graph exactly as the call found it.
  std::vector<Activation> result;
  result.reserve(activated.size());
  for (const Activated& a : activated) {
    const std::string_view name =
        a.id == store::kNoName ? std::string_view(starting_nodes[a.seed_index]) : graph.name(a.id);
    result.push_back({std::string(name), a.energy});
  }

  // Learning: every promotion, then every reinforcement, each on the entry in the
  // direction the energy flowed.
  for (const Pair& p : promote) store::promote_and_strengthen(adj, p.from, p.to);
  for (const Pair& p : reinforce) store::strengthen_edge(adj, p.from, p.to, current_time);
  return result;
}

}  // namespace recall_mesh::query
