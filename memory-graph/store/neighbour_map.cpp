#include "neighbour_map.h"

#include <cstring>
#include <utility>

#include "name_hash.h"

namespace recall_mesh::store {
namespace {

// Slot count for n positions: a power of two kept at most three quarters full.
std::size_t slots_for(std::size_t n) {
  std::size_t slots = 16;
  while (slots * 3 < n * 4 + 4) slots *= 2;
  return slots;
}

}  // namespace

NeighbourMap::~NeighbourMap() = default;

void NeighbourMap::grow_if_full() {
  const std::size_t n = edges_.size();
  if (n < edges_.capacity()) return;
  // Grow by half rather than doubling: most concepts have few entries, and the slack of
  // every vector adds up to much of the store's memory.
  edges_.reserve(n + n / 2 + 1);
}

MemoryEdge& NeighbourMap::append(const MemoryEdge& edge) {
  grow_if_full();
  const std::size_t n = edges_.size() + 1;
  if (index_ && (index_->mask + 1) * 3 < n * 4) {
    build_index(slots_for(n));  // before the push: a throw leaves the map as it was
  } else if (!index_ && n > kIndexThreshold) {
    build_index(slots_for(n));
  }
  edges_.push_back(edge);
  index_insert(static_cast<std::uint32_t>(edges_.size() - 1));
  return edges_.back();
}

void NeighbourMap::build_index(std::size_t slot_count) {
  auto fresh = std::make_unique<Index>();
  fresh->slots = std::make_unique<std::uint32_t[]>(slot_count);
  fresh->mask = slot_count - 1;
  index_ = std::move(fresh);
  reindex();
}

void NeighbourMap::index_insert(std::uint32_t position) noexcept {
  if (!index_) return;
  std::size_t slot = static_cast<std::size_t>(mix_id(edges_[position].neighbour)) & index_->mask;
  while (index_->slots[slot] != kEmptySlot) slot = (slot + 1) & index_->mask;
  index_->slots[slot] = position;
}

void NeighbourMap::reindex() noexcept {
  if (!index_) return;
  std::memset(index_->slots.get(), 0xff, (index_->mask + 1) * sizeof(std::uint32_t));
  for (std::size_t i = 0; i < edges_.size(); ++i) index_insert(static_cast<std::uint32_t>(i));
}

}  // namespace recall_mesh::store
