#include "clusters.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

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
// The store itself serves as the filtered adjacency: entries are tested as the walk
// meets them, so nothing but one queued flag per name id and the current cluster's ids
// is allocated, and each concept's entries are read once by the walk.
template <class Emit>
void walk_clusters(const AdjacencyMap& adj, std::string_view project_id, float min_weight,
                   Emit&& emit) {
  // A NaN threshold lets nothing pass.
  if (adj.node_count() == 0 || std::isnan(min_weight)) return;
  const store::ProjectFilter filter(adj, project_id);
  const auto passes = [&](const MemoryEdge& e) {
    return e.weight >= min_weight && filter.passes(e);
  };

  std::vector<std::uint8_t> queued(adj.id_bound(), 0);
  std::vector<NameId> walk;  // the FIFO queue; its order is the cluster's order
  bool more = true;
  adj.for_each_concept([&](NameId start, const NeighbourMap& start_map) {
    if (!more || queued[start]) return;
    queued[start] = 1;
    walk.clear();
    walk.push_back(start);
    bool start_passes = false;
    for (std::size_t head = 0; head < walk.size(); ++head) {
      const NameId id = walk[head];
      const NeighbourMap* map = head == 0 ? &start_map : adj.find_concept(id);
      if (!map) continue;  // reached only as a neighbour: it has no entries to follow
      for (const MemoryEdge& e : map->entries()) {
        if (!passes(e)) continue;
        if (head == 0) start_passes = true;
        if (queued[e.neighbour]) continue;
        queued[e.neighbour] = 1;
        walk.push_back(e.neighbour);
      }
    }
    // A concept with no passing entry of its own starts no walk, and must stay free for a
    // later walk to reach it.
    if (!start_passes) {
      queued[start] = 0;
      return;
    }
    if (walk.size() >= 2) more = emit(std::as_const(walk));
  });
}

std::vector<std::string> copy_names(const AdjacencyMap& adj, const std::vector<NameId>& ids) {
  std::vector<std::string> out;
  out.reserve(ids.size());
  for (NameId id : ids) out.emplace_back(adj.name(id));
  return out;
}

}  // namespace

std::vector<std::vector<std::string>> detect_clusters(const AdjacencyMap& adj,
                                                      std::string_view project_id,
                                                      float min_weight) {
  std::vector<std::vector<std::string>> clusters;
  walk_clusters(adj, project_id, min_weight, [&](const std::vector<NameId>& ids) {
    clusters.push_back(copy_names(adj, ids));
    return true;
  });
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
      found = copy_names(adj, ids);
      return false;
    });
  }
  if (found.empty()) found.emplace_back(node);
  return found;
}

std::string cluster_label(const AdjacencyMap& adj, std::span<const std::string> cluster) {
  std::string_view best;
  // Below any total of real weights, so any listed name beats it unless its total is NaN
  // or at most -1 (possible only with negative weights).
  float best_total = -1.0f;
  for (const std::string& name : cluster) {
    float total = 0.0f;
    if (const NeighbourMap* map = adj.find_concept(name)) {
      // Every project counts, and the order of addition is the map's, so equal graphs give
      // bit-equal totals.
      for (const MemoryEdge& e : map->entries()) total += e.weight;
    }
    if (total > best_total) {
      best = name;
      best_total = total;
    }
  }
  return std::string(best);
}

float get_cluster_density(const AdjacencyMap& adj, std::span<const std::string> nodes,
                          std::string_view project_id) {
  if (nodes.size() < 2 || adj.node_count() == 0) return 0.0f;
  const store::ProjectFilter filter(adj, project_id);

  // Resolve each listed name once; small groups need no allocation.
  constexpr std::size_t kInline = 16;
  std::array<NameId, kInline> inline_ids;
  std::vector<NameId> heap_ids;
  std::span<NameId> ids(inline_ids.data(), std::min(nodes.size(), kInline));
  if (nodes.size() > kInline) {
    heap_ids.resize(nodes.size());
    ids = heap_ids;
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) ids[i] = adj.find_name(nodes[i]);

  float sum = 0.0f;
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] == store::kNoName) continue;  // a name the store lacks is in no entry
    for (std::size_t j = i + 1; j < ids.size(); ++j) {
      // The pair's own direction first; the mirror entry only stands in when that entry is
      // missing or belongs to another project.
      const MemoryEdge* e = adj.find_edge(ids[i], ids[j]);
      if (!e || !filter.passes(*e)) e = adj.find_edge(ids[j], ids[i]);
      if (!e || !filter.passes(*e)) continue;
      sum += e->weight;
      ++count;
    }
  }
  // Pairs without an entry neither add weight nor count.
  return count == 0 ? 0.0f : sum / static_cast<float>(count);
}

}  // namespace recall_mesh::query
