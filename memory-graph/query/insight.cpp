#include "insight.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include <tsl/robin_map.h>

#include "resolved_group.h"
#include "store/name_hash.h"
#include "store/project_filter.h"

namespace recall_mesh::query {
namespace {

using store::NameId;

}  // namespace

std::vector<InsightNeighbour> insight_neighbours(const store::AdjacencyMap& adj,
                                                 std::span<const std::string_view> insight_concepts,
                                                 std::string_view project_id) {
  if (insight_concepts.empty() || adj.node_count() == 0) return {};

  ResolvedGroup resolved(adj, insight_concepts);
  const std::span<const ResolvedGroup::Member> members = resolved.members();
  using Member = ResolvedGroup::Member;

  // The exclusion set: the members' ids, sorted when there are too many to scan.
  std::vector<NameId> sorted;
  if (members.size() > ResolvedGroup::kInline) {
    sorted.reserve(members.size());
    for (const Member& m : members) sorted.push_back(m.id);
    std::sort(sorted.begin(), sorted.end());
  }
  const auto is_member = [&](NameId id) {
    if (!sorted.empty()) return std::binary_search(sorted.begin(), sorted.end(), id);
    return std::any_of(members.begin(), members.end(),
                       [id](const Member& m) { return m.id == id; });
  };
  // Each distinct member's entries, once: scanning a repeated name again cannot change
  // any maximum, and sizing the table by every repeat would let a long list of one name
  // ask for memory without bound.
  resolved.mark_repeats();
  const auto for_each_member_map = [&](auto visit) {
    for (const Member& m : members) {
      if (m.map && !m.repeat) visit(*m.map);
    }
  };

  std::size_t entry_total = 0;
  for_each_member_map([&](const store::NeighbourMap& map) { entry_total += map.size(); });
  if (entry_total == 0) return {};

  const store::ProjectFilter filter(adj, project_id);
  tsl::robin_map<NameId, float, store::IdHasher> strongest;
  strongest.reserve(entry_total);  // one table for the whole call, never rehashed
  for_each_member_map([&](const store::NeighbourMap& map) {
    for (const store::MemoryEdge& e : map.entries()) {
      if (!filter.passes(e) || is_member(e.neighbour)) continue;
      auto [it, inserted] = strongest.try_emplace(e.neighbour, e.weight);
      if (inserted) continue;
      // A NaN weight never displaces a number, and a number displaces a stored NaN.
      const float held = it->second;
      if (std::isnan(held) || e.weight > held) it.value() = e.weight;
    }
  });

  std::vector<InsightNeighbour> result;
  result.reserve(strongest.size());
  for (const auto& [id, weight] : strongest) result.push_back({id, weight});
  return result;
}

std::vector<std::pair<std::string, float>> get_concepts_for_insight(
    const store::AdjacencyMap& adj, std::span<const std::string_view> insight_concepts,
    std::string_view project_id) {
  const std::vector<InsightNeighbour> found = insight_neighbours(adj, insight_concepts, project_id);
  std::vector<std::pair<std::string, float>> result;
  result.reserve(found.size());
  for (const InsightNeighbour& n : found) result.emplace_back(adj.name(n.id), n.weight);
  return result;
}

}  // namespace recall_mesh::query
