#include "neighbour_map.h"

#include <algorithm>
#include <cstring>
#include <new>
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

bool NeighbourMap::make_room(EntryArena& arena, NameId owner, std::size_t n) {
  if (n > EntryArena::kMaxCapacity) throw std::bad_alloc();  // no room in a 32-bit count
  // Everything that can throw comes before the first change, so a throw leaves the map as
  // it was: the larger block, then the index. Blocks grow by half at least, so a map that
  // grows a little at a time copies its entries a bounded number of times.
  MemoryEdge* block = block_;
  if (block == nullptr || n > EntryArena::header(block).capacity) {
    const std::uint32_t grown =
        block == nullptr ? 1 : EntryArena::next_capacity(EntryArena::header(block).capacity);
    block = arena.allocate(owner, std::max(grown, static_cast<std::uint32_t>(n)));
  }
  std::unique_ptr<std::uint32_t[]> fresh;
  std::size_t fresh_slots = 0;
  try {
    if (slots_ ? (mask_ + 1) * 3 < n * 4 : n > kIndexThreshold) {
      fresh_slots = slots_for(n);
      fresh = std::make_unique_for_overwrite<std::uint32_t[]>(fresh_slots);
    }
  } catch (...) {
    if (block != block_) arena.release(block);
    throw;
  }
  if (block != block_) {
    if (block_ != nullptr) {
      const std::size_t kept = size();
      std::memcpy(static_cast<void*>(block), block_, kept * sizeof(MemoryEdge));
      EntryArena::header(block).size = static_cast<std::uint32_t>(kept);
      arena.release(block_);
    }
    block_ = block;
  }
  if (!fresh) return false;
  slots_ = std::move(fresh);
  mask_ = fresh_slots - 1;
  return true;
}

MemoryEdge& NeighbourMap::append(EntryArena& arena, NameId owner, const MemoryEdge& edge) {
  const bool fresh_index = make_room(arena, owner, size() + 1);
  EntryArena::Header& h = EntryArena::header(block_);
  block_[h.size] = edge;
  ++h.size;
  if (fresh_index) {
    reindex();
  } else {
    index_insert(static_cast<std::uint32_t>(h.size - 1));
  }
  return block_[h.size - 1];
}

void NeighbourMap::append_all(EntryArena& arena, NameId owner, std::span<const MemoryEdge> edges) {
  if (edges.empty()) return;
  const std::size_t old = size();
  const std::size_t n = old + edges.size();
  const bool fresh_index = make_room(arena, owner, n);
  std::memcpy(static_cast<void*>(block_ + old), edges.data(), edges.size() * sizeof(MemoryEdge));
  EntryArena::header(block_).size = static_cast<std::uint32_t>(n);
  if (fresh_index) {
    reindex();
  } else {
    for (std::size_t i = old; i < n; ++i) index_insert(static_cast<std::uint32_t>(i));
  }
}

void NeighbourMap::index_insert(std::uint32_t position) noexcept {
  if (!slots_) return;
  std::size_t slot = slot_of(block_[position].neighbour);
  while (slots_[slot] != kEmptySlot) slot = (slot + 1) & mask_;
  slots_[slot] = position;
}

void NeighbourMap::reindex() noexcept {
  if (!slots_) return;
  std::memset(slots_.get(), 0xff, (mask_ + 1) * sizeof(std::uint32_t));
  const std::size_t n = size();
  for (std::size_t i = 0; i < n; ++i) index_insert(static_cast<std::uint32_t>(i));
}

}  // namespace recall_mesh::store
