#include "insight.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include <tsl/robin_map.h>

#include "store/name_hash.h"
#include "store/project_filter.h"

namespace recall_mesh::query {
namespace {

using store::NameId;

struct IdHash {
  std::size_t operator()(NameId id) const noexcept {
    return static_cast<std::size_t>(store::mix_id(id));
  }
};

// Groups up to this size are resolved on the stack and searched linearly; a typical
// insight holds a handful of concepts, so what a call allocates grows with its result,
// never with the graph.
constexpr std::size_t kInline = 16;

}  // namespace

std::vector<std::pair<std::string, float>> get_concepts_for_insight(
    const store::AdjacencyMap& adj, std::span<const std::string> insight_concepts,
    std::string_view project_id) {
  if (insight_concepts.empty() || adj.node_count() == 0) return {};

  // The members' ids in list order (a name the store lacks gets kNoName and is no concept)
  // and their entries, all resolved before the first entry is read, so the cache misses of
  // a cold graph overlap instead of following one another.
  struct Member {
    NameId id;
    const store::NeighbourMap* map;
  };
  std::array<Member, kInline> inline_members;
  std::vector<Member> heap_members;
  std::span<Member> members(inline_members.data(), std::min(insight_concepts.size(), kInline));
  if (insight_concepts.size() > kInline) {
    heap_members.resize(insight_concepts.size());
    members = heap_members;
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    members[i].id = adj.find_name(insight_concepts[i]);
  }
  std::size_t entry_total = 0;
  for (Member& m : members) {
    m.map = adj.find_concept(m.id);
    if (!m.map || m.map->empty()) continue;
    entry_total += m.map->size();
    m.map->prefetch();
  }
  if (entry_total == 0) return {};

  // The exclusion set: the members' ids, sorted when there are too many to scan.
  std::vector<NameId> sorted;
  if (members.size() > kInline) {
    sorted.reserve(members.size());
    for (const Member& m : members) sorted.push_back(m.id);
    std::sort(sorted.begin(), sorted.end());
  }
  const auto is_member = [&](NameId id) {
    if (!sorted.empty()) return std::binary_search(sorted.begin(), sorted.end(), id);
    return std::any_of(members.begin(), members.end(),
                       [id](const Member& m) { return m.id == id; });
  };

  const store::ProjectFilter filter(adj, project_id);
  tsl::robin_map<NameId, float, IdHash> strongest;
  strongest.reserve(entry_total);  // one table for the whole call, never rehashed
  for (const Member& m : members) {
    if (!m.map) continue;
    for (const store::MemoryEdge& e : m.map->entries()) {
      if (!filter.passes(e) || is_member(e.neighbour)) continue;
      auto [it, inserted] = strongest.try_emplace(e.neighbour, e.weight);
      if (inserted) continue;
      // A NaN weight never displaces a number, and a number displaces a stored NaN.
      const float held = it->second;
      if (std::isnan(held) || e.weight > held) it.value() = e.weight;
    }
  }

  // Look every name up before copying any: the lookups are independent, so their cache
  // misses overlap.
  std::vector<std::pair<std::string_view, float>> found;
  found.reserve(strongest.size());
  for (const auto& [id, weight] : strongest) found.emplace_back(adj.name(id), weight);
  std::vector<std::pair<std::string, float>> result;
  result.reserve(found.size());
  for (const auto& [name, weight] : found) result.emplace_back(name, weight);
  return result;
}

}  // namespace recall_mesh::query
