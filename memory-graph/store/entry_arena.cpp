#include "entry_arena.h"

#include <cstring>
#include <new>

namespace recall_mesh::store {
namespace {

// A free block keeps the link to the next free block of its class in its first record.
MemoryEdge* next_free(MemoryEdge* block) noexcept {
  MemoryEdge* next = nullptr;
  std::memcpy(&next, static_cast<void*>(block), sizeof(next));
  return next;
}

void set_next_free(MemoryEdge* block, MemoryEdge* next) noexcept {
  std::memcpy(static_cast<void*>(block), &next, sizeof(next));
}

MemoryEdge* records_of(EntryArena::Header* h) noexcept {
  return reinterpret_cast<MemoryEdge*>(h + 1);
}

}  // namespace

EntryArena::~EntryArena() {
  unpoison_chunks(0);
}

void EntryArena::unpoison_chunks(std::size_t from) noexcept {
  for (std::size_t c = from; c < chunks_.size(); ++c) {
    RECALL_MESH_UNPOISON(chunks_[c].bytes.get(), kChunkBytes);
  }
}

std::size_t EntryArena::class_of(std::uint32_t capacity) noexcept {
  std::size_t k = 0;
  while (k < kClasses && kCapacity[k] < capacity) ++k;
  return k;
}

MemoryEdge* EntryArena::allocate(NameId owner, std::uint32_t min_capacity) {
  const std::size_t k = class_of(min_capacity);
  if (k == kClasses) {
    std::uint32_t capacity = kLargestPooled;
    while (capacity < min_capacity) capacity = next_capacity(capacity);
    return allocate_large(owner, capacity);
  }
  MemoryEdge* block = free_[k];
  if (block != nullptr) {
    free_[k] = next_free(block);
    free_bytes_ -= extent(header(block));
    RECALL_MESH_UNPOISON(block, extent(header(block)) - sizeof(Header));
  } else {
    block = carve(k);
  }
  Header& h = header(block);
  h.owner = owner;
  h.size = 0;
  return block;
}

MemoryEdge* EntryArena::carve(std::size_t k) {
  const std::size_t bytes = block_bytes(kCapacity[k]);
  if (chunks_.empty() || kChunkBytes - chunks_.back().used < bytes) {
    chunks_.reserve(chunks_.size() + 1);  // a throw here leaves the arena as it was
    auto fresh = std::make_unique_for_overwrite<std::byte[]>(kChunkBytes);
    RECALL_MESH_POISON(fresh.get(), kChunkBytes);  // opened block by block as carved
    if (!chunks_.empty()) {
      // What is left of the full chunk goes to the free lists, so no room is lost.
      Chunk& last = chunks_.back();
      last.used += cut_free(last.bytes.get() + last.used, kChunkBytes - last.used);
    }
    chunks_.push_back(Chunk{std::move(fresh), 0});
  }
  Chunk& chunk = chunks_.back();
  auto* h = reinterpret_cast<Header*>(chunk.bytes.get() + chunk.used);
  RECALL_MESH_UNPOISON(h, bytes);
  *h = Header{kNoName, 0, kCapacity[k], 0};
  chunk.used += bytes;
  return records_of(h);
}

std::size_t EntryArena::cut_free(std::byte* at, std::size_t bytes) noexcept {
  const std::size_t given = bytes;
  Header* last = nullptr;
  for (std::size_t k = kClasses; k-- > 0;) {
    while (bytes >= block_bytes(kCapacity[k])) {
      last = reinterpret_cast<Header*>(at);
      RECALL_MESH_UNPOISON(last, block_bytes(kCapacity[k]));
      *last = Header{kNoName, 0, kCapacity[k], 0};
      at += block_bytes(kCapacity[k]);
      bytes -= block_bytes(kCapacity[k]);
      push_free(k, records_of(last));
    }
  }
  // Less than the smallest block is left (16, 32 or 48 bytes): the last block spans it.
  if (last == nullptr) return 0;
  if (bytes != 0) {
    last->extra = static_cast<std::uint32_t>(bytes / 16);
    free_bytes_ += bytes;
  }
  return given;
}

MemoryEdge* EntryArena::allocate_large(NameId owner, std::uint32_t capacity) {
  large_.reserve(large_.size() + 1);  // before the block, so a throw leaks nothing
  auto bytes = std::make_unique_for_overwrite<std::byte[]>(block_bytes(capacity));
  auto* h = reinterpret_cast<Header*>(bytes.get());
  *h = Header{owner, 0, capacity, static_cast<std::uint32_t>(large_.size())};
  large_.push_back(std::move(bytes));
  return records_of(h);
}

void EntryArena::push_free(std::size_t k, MemoryEdge* block) noexcept {
  const std::size_t bytes = extent(header(block));
  set_next_free(block, free_[k]);
  free_[k] = block;
  free_bytes_ += bytes;
  poison_free(block, bytes);
}

void EntryArena::release(MemoryEdge* block) noexcept {
  Header& h = header(block);
  if (h.capacity > kLargestPooled) {
    // Swap the last large block into this one's place.
    const std::uint32_t slot = h.extra;
    if (slot + 1 != large_.size()) {
      large_[slot] = std::move(large_.back());
      reinterpret_cast<Header*>(large_[slot].get())->extra = slot;
    }
    large_.pop_back();
    return;
  }
  h.owner = kNoName;
  h.size = 0;
  push_free(class_of(h.capacity), block);
}

std::size_t EntryArena::bytes_held() const noexcept {
  std::size_t total = chunks_.size() * kChunkBytes;
  for (const auto& block : large_) {
    total += block_bytes(reinterpret_cast<const Header*>(block.get())->capacity);
  }
  return total;
}

}  // namespace recall_mesh::store
