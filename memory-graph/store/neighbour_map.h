// One concept's outgoing entries: a compact vector of MemoryEdge records in insertion
// order, with an id index only for concepts of high degree, so a lookup never scans a
// long vector. Part of the store layer; owned by AdjacencyMap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "memory_edge.h"
#include "name_hash.h"

namespace recall_mesh::store {

class NeighbourMap {
 public:
  /// Concepts with more entries than this get an id index.
  static constexpr std::size_t kIndexThreshold = 12;

  NeighbourMap() = default;
  NeighbourMap(NeighbourMap&&) noexcept = default;
  NeighbourMap& operator=(NeighbourMap&&) noexcept = default;
  ~NeighbourMap();

  std::size_t size() const noexcept { return edges_.size(); }
  bool empty() const noexcept { return edges_.empty(); }

  /// The entry for `neighbour`, or nullptr.
  MemoryEdge* find(NameId neighbour) noexcept {
    return const_cast<MemoryEdge*>(std::as_const(*this).find(neighbour));
  }
  const MemoryEdge* find(NameId neighbour) const noexcept;

  /// The entries in this map's order (insertion order; removal keeps the rest in order).
  std::span<MemoryEdge> entries() noexcept { return edges_; }
  std::span<const MemoryEdge> entries() const noexcept { return edges_; }

  /// Starts loading the first entries into the cache. Each concept's entries are a block
  /// of their own, so passes over many concepts ask early and overlap the misses.
  void prefetch() const noexcept { prefetch_lines(0, 2); }
  /// Starts loading cache lines [from, to) of the entries, those the entries reach.
  void prefetch_lines(std::size_t from, std::size_t to) const noexcept {
    const char* first = reinterpret_cast<const char*>(edges_.data());
    const std::size_t end = std::min(edges_.size() * sizeof(MemoryEdge), to * 64);
    for (std::size_t at = from * 64; at < end; at += 64) __builtin_prefetch(first + at);
  }

  /// Appends an entry whose neighbour is not in the map yet.
  MemoryEdge& append(const MemoryEdge& edge);

  /// Removes, in place and keeping order, every entry for which `dead(entry)` holds,
  /// calling `gone(entry)` for each removed one. Allocates nothing.
  template <class Dead, class Gone>
  std::size_t remove_if(Dead&& dead, Gone&& gone) noexcept;

  /// Drops every entry, calling `gone(entry)` for each.
  template <class Gone>
  void clear(Gone&& gone) noexcept;

 private:
  // Open addressing over positions in edges_, keyed by the neighbour id found there.
  struct Index {
    std::unique_ptr<std::uint32_t[]> slots;
    std::size_t mask = 0;
  };

  void grow_if_full();
  void build_index(std::size_t slot_count);
  void index_insert(std::uint32_t position) noexcept;
  void reindex() noexcept;

  static constexpr std::uint32_t kEmptySlot = 0xffffffffU;

  std::vector<MemoryEdge> edges_;
  std::unique_ptr<Index> index_;
};

inline const MemoryEdge* NeighbourMap::find(NameId neighbour) const noexcept {
  if (!index_) {
    for (const MemoryEdge& e : edges_) {
      if (e.neighbour == neighbour) return &e;
    }
    return nullptr;
  }
  std::size_t slot = static_cast<std::size_t>(mix_id(neighbour)) & index_->mask;
  for (;;) {
    const std::uint32_t pos = index_->slots[slot];
    if (pos == kEmptySlot) return nullptr;
    if (edges_[pos].neighbour == neighbour) return &edges_[pos];
    slot = (slot + 1) & index_->mask;
  }
}

template <class Dead, class Gone>
std::size_t NeighbourMap::remove_if(Dead&& dead, Gone&& gone) noexcept {
  std::size_t kept = 0;
  const std::size_t n = edges_.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (dead(edges_[i])) {
      gone(edges_[i]);
      continue;
    }
    if (kept != i) edges_[kept] = edges_[i];
    ++kept;
  }
  const std::size_t removed = n - kept;
  if (removed != 0) {
    edges_.erase(edges_.begin() + static_cast<std::ptrdiff_t>(kept), edges_.end());
    reindex();
  }
  return removed;
}

template <class Gone>
void NeighbourMap::clear(Gone&& gone) noexcept {
  for (MemoryEdge& e : edges_) gone(e);
  edges_.clear();
  reindex();
}

}  // namespace recall_mesh::store
