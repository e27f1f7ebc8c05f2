#include "neighbour_map.h"

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

MemoryEdge& NeighbourMap::append(EntryArena& arena, NameId owner, const MemoryEdge& edge) {
  const std::size_t n = size() + 1;
  if (n > EntryArena::kMaxCapacity) throw std::bad_alloc();  // no room in a 32-bit count
  // Everything that can throw comes before the first change, so a throw leaves the map as
  // it was: the larger block, then the index.
  MemoryEdge* block = block_;
  if (block == nullptr || n > EntryArena::header(block).capacity) {
    const std::uint32_t capacity =
        block == nullptr ? 1 : EntryArena::next_capacity(EntryArena::header(block).capacity);
    block = arena.allocate(owner, capacity);
  }
  std::unique_ptr<Index> fresh;
  try {
    if ((index_ && (index_->mask + 1) * 3 < n * 4) || (!index_ && n > kIndexThreshold)) {
      fresh = std::make_unique<Index>();
      fresh->slots = std::make_unique<std::uint32_t[]>(slots_for(n));
      fresh->mask = slots_for(n) - 1;
    }
  } catch (...) {
    if (block != block_) arena.release(block);
    throw;
  }
  if (block != block_) {
    if (block_ != nullptr) {
      std::memcpy(static_cast<void*>(block), block_, (n - 1) * sizeof(MemoryEdge));
      EntryArena::header(block).size = static_cast<std::uint32_t>(n - 1);
      arena.release(block_);
    }
    block_ = block;
  }
  EntryArena::Header& h = EntryArena::header(block_);
  block_[h.size] = edge;
  ++h.size;
  if (fresh) {
    index_ = std::move(fresh);
    reindex();
  } else {
    index_insert(static_cast<std::uint32_t>(h.size - 1));
  }
  return block_[h.size - 1];
}

void NeighbourMap::index_insert(std::uint32_t position) noexcept {
  if (!index_) return;
  std::size_t slot = static_cast<std::size_t>(mix_id(block_[position].neighbour)) & index_->mask;
  while (index_->slots[slot] != kEmptySlot) slot = (slot + 1) & index_->mask;
  index_->slots[slot] = position;
}

void NeighbourMap::reindex() noexcept {
  if (!index_) return;
  std::memset(index_->slots.get(), 0xff, (index_->mask + 1) * sizeof(std::uint32_t));
  const std::size_t n = size();
  for (std::size_t i = 0; i < n; ++i) index_insert(static_cast<std::uint32_t>(i));
}

}  // namespace recall_mesh::store
