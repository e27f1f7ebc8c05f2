#include "clusters.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "resolved_group.h"
#include "store/project_filter.h"

namespace recall_mesh::query {
namespace {

using store::AdjacencyMap;
using store::MemoryEdge;
using store::NameId;
using store::NeighbourMap;

// The float nearest 0.2, so an entry stored as 0.2f passes.
constexpr float kNodeClusterThreshold = 0.2f;

// Walks the clusters of one project: breadth-first over the directed entries that pass
// (project filter, weight at least min_weight; a NaN weight never does), starting from
// each concept with a passing entry in id order. Each cluster of two or more names goes
// to emit(ids) in walk order; the walk stops as soon as emit returns false.
//
// One pass over the store, in the order its entries lie in memory, builds the filtered
// adjacency as flat arrays indexed by name id (the neighbours of id are the count[id]
// names from targets[first[id]]). The walk then stays in these few compact arrays
// instead of jumping between the store's per-concept blocks.
//
// `Position` counts over every entry of the graph: 32 bits while they fit, so that the
// arrays stay small enough for the cache; one concept's entries always fit in 32 bits.
template <class Position, class Emit>
void walk_clusters_by(const AdjacencyMap& adj, std::string_view project_id, float min_weight,
                      Emit&& emit) {
  const store::ProjectFilter filter(adj, project_id);
  const std::size_t bound = adj.id_bound();
  std::vector<Position> first(bound, 0);
  std::vector<std::uint32_t> count(bound, 0);
  // Room for every entry: each neighbour is written, and kept only when its entry passes,
  // so the pass does not branch on weights, which follow no pattern.
  auto targets = std::make_unique_for_overwrite<NameId[]>(adj.edge_count());
  Position kept = 0;
  adj.for_each_entry_block([&](NameId id, std::span<const MemoryEdge> entries) {
    first[id] = kept;
    for (const MemoryEdge& e : entries) {
      targets[kept] = e.neighbour;
      kept +=
          static_cast<Position>(e.weight >= min_weight) & static_cast<Position>(filter.passes(e));
    }
    count[id] = static_cast<std::uint32_t>(kept - first[id]);
  });
  if (kept == 0) return;

  std::vector<std::uint8_t> queued(bound, 0);
  std::vector<NameId> walk;  // the FIFO queue; its order is the cluster's order
  for (NameId start = 0; start < bound; ++start) {
    // Only a concept with a passing entry of its own starts a walk.
    if (queued[start] || count[start] == 0) continue;
    queued[start] = 1;
    walk.clear();
    walk.push_back(start);
    for (std::size_t head = 0; head < walk.size(); ++head) {
      const NameId id = walk[head];
      for (Position i = first[id], end = first[id] + count[id]; i < end; ++i) {
        const NameId next = targets[i];
        if (queued[next]) continue;
        queued[next] = 1;
        walk.push_back(next);
      }
    }
    if (walk.size() >= 2 && !emit(std::as_const(walk))) return;
  }
}

template <class Emit>
void walk_clusters(const AdjacencyMap& adj, std::string_view project_id, float min_weight,
                   Emit&& emit) {
  // A NaN threshold lets nothing pass.
  if (adj.node_count() == 0 || std::isnan(min_weight)) return;
  if (adj.edge_count() <= std::numeric_limits<std::uint32_t>::max()) {
    walk_clusters_by<std::uint32_t>(adj, project_id, min_weight, std::forward<Emit>(emit));
  } else {
    walk_clusters_by<std::size_t>(adj, project_id, min_weight, std::forward<Emit>(emit));
  }
}

// Copies the names of `ids`. All names are looked up before any is copied: the lookups
// are independent, so their cache misses overlap instead of following one another.
std::vector<std::string> copy_names(const AdjacencyMap& adj, std::span<const NameId> ids,
                                    std::vector<std::string_view>& views) {
  views.clear();
  views.reserve(ids.size());
  for (NameId id : ids) views.push_back(adj.name(id));
  std::vector<std::string> out;
  out.reserve(views.size());
  for (std::string_view v : views) out.emplace_back(v);
  return out;
}

}  // namespace

ClusterIds detect_cluster_ids(const AdjacencyMap& adj, std::string_view project_id,
                              float min_weight) {
  ClusterIds clusters;
  walk_clusters(adj, project_id, min_weight, [&](const std::vector<NameId>& ids) {
    clusters.ids.insert(clusters.ids.end(), ids.begin(), ids.end());
    clusters.ends.push_back(clusters.ids.size());
    return true;
  });
  return clusters;
}

std::vector<std::vector<std::string>> detect_clusters(const AdjacencyMap& adj,
                                                      std::string_view project_id,
                                                      float min_weight) {
  const ClusterIds found = detect_cluster_ids(adj, project_id, min_weight);
  std::vector<std::vector<std::string>> clusters;
  clusters.reserve(found.ends.size());
  const std::span<const NameId> ids = found.ids;
  std::vector<std::string_view> views;
  std::size_t begin = 0;
  for (const std::size_t end : found.ends) {
    clusters.push_back(copy_names(adj, ids.subspan(begin, end - begin), views));
    begin = end;
  }
  return clusters;
}

std::vector<std::string> get_cluster_for_node(const AdjacencyMap& adj, std::string_view node,
                                              std::string_view project_id) {
  std::vector<std::string> found;
  // A name the store does not hold is in no cluster.
  const NameId node_id = adj.find_name(node);
  if (node_id != store::kNoName) {
    // The walk is the one detect_clusters makes, so the first cluster holding the node is
    // the same; only that one is copied, and the walk ends there.
    walk_clusters(adj, project_id, kNodeClusterThreshold, [&](const std::vector<NameId>& ids) {
      if (std::find(ids.begin(), ids.end(), node_id) == ids.end()) return true;
      std::vector<std::string_view> views;
      found = copy_names(adj, ids, views);
      return false;
    });
  }
  if (found.empty()) found.emplace_back(node);
  return found;
}

std::string cluster_label(const AdjacencyMap& adj, std::span<const std::string_view> cluster) {
  std::string_view best;
  // Below any total of real weights, so any listed name beats it unless its total is NaN
  // or at most -1 (possible only with negative weights).
  float best_total = -1.0f;
  // A concept listed again has the same total, which cannot beat its first listing under
  // the strict comparison, so each is summed once.
  ResolvedGroup group(adj, cluster);
  group.mark_repeats();
  const std::span<const ResolvedGroup::Member> members = group.members();
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (members[i].repeat) continue;
    float total = 0.0f;
    if (const NeighbourMap* map = members[i].map) {
      // Every project counts, and the order of addition is the map's, so equal graphs give
      // bit-equal totals.
      for (const MemoryEdge& e : map->entries()) total += e.weight;
    }
    if (total > best_total) {
      best = cluster[i];
      best_total = total;
    }
  }
  return std::string(best);
}

float get_cluster_density(const AdjacencyMap& adj, std::span<const std::string_view> nodes,
                          std::string_view project_id) {
  if (nodes.size() < 2 || adj.node_count() == 0) return 0.0f;
  const store::ProjectFilter filter(adj, project_id);

  const ResolvedGroup resolved(adj, nodes);
  const std::span<const ResolvedGroup::Member> group = resolved.members();
  using Node = ResolvedGroup::Member;
  // The entry a -> b, or nullptr; a name the store lacks is in no entry.
  const auto entry = [](const Node& a, const Node& b) -> const MemoryEdge* {
    return a.map && b.id != store::kNoName ? a.map->find(b.id) : nullptr;
  };

  float sum = 0.0f;
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < group.size(); ++i) {
    for (std::size_t j = i + 1; j < group.size(); ++j) {
      // The pair's own direction first; the mirror entry only stands in when that entry is
      // missing or belongs to another project.
      const MemoryEdge* e = entry(group[i], group[j]);
      if (!e || !filter.passes(*e)) e = entry(group[j], group[i]);
      if (!e || !filter.passes(*e)) continue;
      sum += e->weight;
      ++count;
    }
  }
  // Pairs without an entry neither add weight nor count.
  return count == 0 ? 0.0f : sum / static_cast<float>(count);
}

}  // namespace recall_mesh::query
