// One concept's outgoing entries: a block of MemoryEdge records in insertion order, held
// in the store's EntryArena, with an id index only for concepts of high degree, so a
// lookup never scans a long block. Part of the store layer; owned by AdjacencyMap, which
// passes its arena to every call that allocates or gives memory back.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "entry_arena.h"
#include "memory_edge.h"
#include "name_hash.h"

namespace recall_mesh::store {

class NeighbourMap {
 public:
  /// Concepts with more entries than this get an id index.
  static constexpr std::size_t kIndexThreshold = 12;

  NeighbourMap() = default;
  NeighbourMap(NeighbourMap&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)),
        slots_(std::move(other.slots_)),
        mask_(std::exchange(other.mask_, 0)) {}
  NeighbourMap& operator=(NeighbourMap&& other) noexcept {
    // The arena would keep a block dropped here and still count this map its owner.
    assert(block_ == nullptr && "a map's block goes back through clear() first");
    block_ = std::exchange(other.block_, nullptr);
    slots_ = std::move(other.slots_);
    mask_ = std::exchange(other.mask_, 0);
    return *this;
  }
  ~NeighbourMap();

  std::size_t size() const noexcept { return block_ ? EntryArena::header(block_).size : 0; }
  bool empty() const noexcept { return size() == 0; }

  /// The entry for `neighbour`, or nullptr.
  MemoryEdge* find(NameId neighbour) noexcept {
    return const_cast<MemoryEdge*>(std::as_const(*this).find(neighbour));
  }
  const MemoryEdge* find(NameId neighbour) const noexcept;

  /// The entries in this map's order (insertion order; removal keeps the rest in order).
  std::span<MemoryEdge> entries() noexcept { return {block_, size()}; }
  std::span<const MemoryEdge> entries() const noexcept { return {block_, size()}; }

  /// Starts loading the first entries into the cache. Each concept's entries are a block
  /// of their own, so passes over many concepts ask early and overlap the misses.
  void prefetch() const noexcept { prefetch_lines(2); }
  /// Starts loading the first `lines` cache lines of the block.
  void prefetch_lines(std::size_t lines) const noexcept {
    if (block_ == nullptr) return;
    // The block's size is in its header, which is what is being fetched: asking for lines
    // past the end costs bandwidth only, where reading the size would wait for the miss.
    // Lines count from the header, which may sit in the line before the first record.
    const char* first = reinterpret_cast<const char*>(block_) - sizeof(EntryArena::Header);
    for (std::size_t at = 0; at < lines * 64; at += 64) __builtin_prefetch(first + at);
  }
  /// Starts loading what find(neighbour) reads first: the index slot where its search
  /// starts, for a map that has an index, besides the block's first lines. The map itself
  /// says where both are, so the two misses overlap.
  void prefetch_find(NameId neighbour) const noexcept {
    if (slots_) __builtin_prefetch(&slots_[slot_of(neighbour)]);
    prefetch();
  }

  /// Appends an entry whose neighbour is not in the map yet; `owner` is the concept.
  MemoryEdge& append(EntryArena& arena, NameId owner, const MemoryEdge& edge);

  /// Appends entries none of whose neighbours is in the map yet, nor twice among them,
  /// with one block and one index made for them all. A throw leaves the map as it was.
  void append_all(EntryArena& arena, NameId owner, std::span<const MemoryEdge> edges);

  /// Removes, in place and keeping order, every entry of a block met by
  /// EntryArena::for_each_block for which `dead(entry)` holds, calling `gone(entry)` for
  /// each removed one; allocates nothing. When it returns more than 0, the owner's
  /// entries_removed() must be called before the next lookup.
  template <class Dead, class Gone>
  static std::size_t remove_from_block(EntryArena::Header& h, MemoryEdge* block, Dead&& dead,
                                       Gone&& gone) noexcept;
  /// Follows the arena moving this map's block (see EntryArena::compact).
  void relocated(MemoryEdge* block) noexcept { block_ = block; }
  /// Brings the id index up to date after entries left the block.
  void entries_removed() noexcept { reindex(); }

  /// Drops every entry, calling `gone(entry)` for each, and gives the block back.
  template <class Gone>
  void clear(EntryArena& arena, Gone&& gone) noexcept;

  /// Takes back the entry append() added last, calling `gone(entry)` for it, to undo an
  /// append when a later step fails. A map left empty gives its block back.
  template <class Gone>
  void drop_last(EntryArena& arena, Gone&& gone) noexcept;

 private:
  std::size_t slot_of(NameId neighbour) const noexcept {
    return static_cast<std::size_t>(mix_id(neighbour)) & mask_;
  }
  // Makes the block hold at least `n` entries and the index fit them, moving the entries
  // over; a throw leaves the map as it was. True when the index is new and must be
  // rebuilt once the entries are in place.
  bool make_room(EntryArena& arena, NameId owner, std::size_t n);
  void index_insert(std::uint32_t position) noexcept;
  void reindex() noexcept;

  static constexpr std::uint32_t kEmptySlot = 0xffffffffU;

  MemoryEdge* block_ = nullptr;  // in the owner's arena; nullptr before the first entry
  // The id index: open addressing over positions in the block, keyed by the neighbour id
  // found there; nullptr while the map is small. Held here rather than behind a pointer
  // of its own, so a lookup starts on it without first waiting for another load.
  std::unique_ptr<std::uint32_t[]> slots_;
  std::size_t mask_ = 0;  // the slot count, a power of two, less one
};

inline const MemoryEdge* NeighbourMap::find(NameId neighbour) const noexcept {
  if (!slots_) {
    for (const MemoryEdge& e : entries()) {
      if (e.neighbour == neighbour) return &e;
    }
    return nullptr;
  }
  for (std::size_t slot = slot_of(neighbour);; slot = (slot + 1) & mask_) {
    const std::uint32_t pos = slots_[slot];
    if (pos == kEmptySlot) return nullptr;
    if (block_[pos].neighbour == neighbour) return &block_[pos];
  }
}

template <class Dead, class Gone>
std::size_t NeighbourMap::remove_from_block(EntryArena::Header& h, MemoryEdge* block, Dead&& dead,
                                            Gone&& gone) noexcept {
  std::size_t kept = 0;
  const std::size_t n = h.size;
  for (std::size_t i = 0; i < n; ++i) {
    if (dead(block[i])) {
      gone(block[i]);
      continue;
    }
    if (kept != i) block[kept] = block[i];
    ++kept;
  }
  h.size = static_cast<std::uint32_t>(kept);
  return n - kept;
}

template <class Gone>
void NeighbourMap::clear(EntryArena& arena, Gone&& gone) noexcept {
  for (MemoryEdge& e : entries()) gone(e);
  if (block_ != nullptr) arena.release(std::exchange(block_, nullptr));
  slots_.reset();
  mask_ = 0;
}

template <class Gone>
void NeighbourMap::drop_last(EntryArena& arena, Gone&& gone) noexcept {
  assert(!empty() && "drop_last needs an entry");
  EntryArena::Header& h = EntryArena::header(block_);
  gone(block_[h.size - 1]);
  if (--h.size == 0) {
    clear(arena, [](const MemoryEdge&) {});
    return;
  }
  reindex();
}

}  // namespace recall_mesh::store
