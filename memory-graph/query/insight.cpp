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
// insight holds a handful of concepts, so the common call allocates only its result.
constexpr std::size_t kInline = 16;

}  // namespace

std::vector<std::pair<std::string, float>> get_concepts_for_insight(
    const store::AdjacencyMap& adj, std::span<const std::string> insight_concepts,
    std::string_view project_id) {
  if (insight_concepts.empty() || adj.node_count() == 0) return {};

  // The members' ids in list order; a name the store lacks gets kNoName and is no concept.
  std::array<NameId, kInline> inline_ids;
  std::vector<NameId> heap_ids;
  std::span<NameId> members(inline_ids.data(), std::min(insight_concepts.size(), kInline));
  if (insight_concepts.size() > kInline) {
    heap_ids.resize(insight_concepts.size());
    members = heap_ids;
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    members[i] = adj.find_name(insight_concepts[i]);
  }
  // The exclusion set: the same ids, sorted when there are too many to scan.
  std::vector<NameId> sorted;
  if (members.size() > kInline) {
    sorted.assign(members.begin(), members.end());
    std::sort(sorted.begin(), sorted.end());
  }
  const auto is_member = [&](NameId id) {
    if (!sorted.empty()) return std::binary_search(sorted.begin(), sorted.end(), id);
    return std::find(members.begin(), members.end(), id) != members.end();
  };

  const store::ProjectFilter filter(adj, project_id);
  tsl::robin_map<NameId, float, IdHash> strongest;
  for (NameId member : members) {
    const store::NeighbourMap* map = adj.find_concept(member);
    if (!map) continue;
    for (const store::MemoryEdge& e : map->entries()) {
      if (!filter.passes(e) || is_member(e.neighbour)) continue;
      auto [it, inserted] = strongest.try_emplace(e.neighbour, e.weight);
      if (inserted) continue;
      // A NaN weight never displaces a number, and a number displaces a stored NaN.
      const float held = it->second;
      if (std::isnan(held) || e.weight > held) it.value() = e.weight;
    }
  }

  std::vector<std::pair<std::string, float>> result;
  result.reserve(strongest.size());
  for (const auto& [id, weight] : strongest) result.emplace_back(adj.name(id), weight);
  return result;
}

}  // namespace recall_mesh::query
