// The memory of every concept's entries in one store: blocks of MemoryEdge records laid
// one after another in large chunks, each block behind a small header that names its
// concept and says how many records it holds. A pass over every entry (decay, the
// clusters' adjacency, the export) walks the chunks in address order and streams through
// memory, where per-concept heap blocks would cost a cache miss each. Part of the store
// layer: NeighbourMap and AdjacencyMap change it; others only read its totals, through
// AdjacencyMap::arena(), for memory accounting.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define RECALL_MESH_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define RECALL_MESH_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define RECALL_MESH_POISON(p, n) ((void)(p), (void)(n))
#define RECALL_MESH_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "memory_edge.h"

namespace recall_mesh::store {

namespace detail {

/// The capacity of the block that follows a full one of `capacity` records: half again,
/// so that most concepts, which have few entries, waste little room.
constexpr std::uint32_t next_capacity(std::uint32_t capacity) noexcept {
  // Past two thirds of the 32-bit range, half again would wrap: take all there is.
  constexpr std::uint32_t kMost = 0xfffffffeU;
  return capacity > kMost / 3 * 2 ? kMost : capacity + capacity / 2 + 1;
}

/// The capacities pooled blocks come in: 1, then each the next of the one before.
inline constexpr std::size_t kBlockClasses = 16;
constexpr std::array<std::uint32_t, kBlockClasses> block_capacities() noexcept {
  std::array<std::uint32_t, kBlockClasses> c{};
  c[0] = 1;
  for (std::size_t k = 1; k < kBlockClasses; ++k) c[k] = next_capacity(c[k - 1]);
  return c;
}

/// A block's bytes: its 16-byte header and its records.
constexpr std::size_t block_bytes(std::uint32_t capacity) noexcept {
  return 16 + std::size_t{capacity} * sizeof(MemoryEdge);
}

}  // namespace detail

class EntryArena {
 public:
  /// Sits just before a block's first record.
  struct Header {
    NameId owner;            // the concept, or kNoName while the block is free
    std::uint32_t size;      // records in use, from the first
    std::uint32_t capacity;  // records the block has room for
    // A pooled block: 16-byte units of room past its records, left over where free room
    // was cut into blocks. A block of its own: its position in large_.
    std::uint32_t extra;
  };
  static_assert(sizeof(Header) == 16, "records after a header stay 16-byte aligned");

  /// Blocks of more records than this are allocated one by one.
  static constexpr std::uint32_t kLargestPooled = detail::block_capacities().back();
  /// The most records a block holds: positions stay below the index's empty mark.
  static constexpr std::uint32_t kMaxCapacity = detail::next_capacity(0xffffffffU);
  /// Bytes of each chunk that pooled blocks are carved from.
  static constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
  static_assert(detail::block_bytes(kLargestPooled) <= kChunkBytes, "a pooled block fits a chunk");

  EntryArena() = default;
  /// The blocks change hands and stay where they are; `other` is left empty.
  EntryArena(EntryArena&& other) noexcept { take(other); }
  EntryArena& operator=(EntryArena&& other) noexcept {
    if (this != &other) {
      unpoison_chunks(0);
      take(other);
    }
    return *this;
  }
  EntryArena(const EntryArena&) = delete;
  EntryArena& operator=(const EntryArena&) = delete;
  ~EntryArena();

  /// The capacity of the block that follows one of `capacity` records when it is full.
  static constexpr std::uint32_t next_capacity(std::uint32_t capacity) noexcept {
    return detail::next_capacity(capacity);
  }

  /// A free block for `owner` with room for at least `min_capacity` (>= 1) records, none in
  /// use. Throws std::bad_alloc, leaving the arena as it was.
  MemoryEdge* allocate(NameId owner, std::uint32_t min_capacity);
  /// Gives a block back; its records are dropped.
  void release(MemoryEdge* block) noexcept;

  static Header& header(MemoryEdge* block) noexcept {
    return *reinterpret_cast<Header*>(reinterpret_cast<std::byte*>(block) - sizeof(Header));
  }
  static const Header& header(const MemoryEdge* block) noexcept {
    return *reinterpret_cast<const Header*>(reinterpret_cast<const std::byte*>(block) -
                                            sizeof(Header));
  }

  /// Calls f(Header&, MemoryEdge* records) for every block in use, in address order within
  /// each chunk. f may change the records and lower the header's size, nothing else.
  template <class F>
  void for_each_block(F&& f) {
    walk(*this, f);
  }
  /// The same for reading: f(const Header&, const MemoryEdge* records).
  template <class F>
  void for_each_block(F&& f) const {
    walk(*this, f);
  }

  /// Whether enough room waits in free blocks that compact() is worth its copying.
  bool wants_compaction() const noexcept {
    const std::size_t held = chunks_.size() * kChunkBytes;
    return chunks_.size() >= kMinChunksToCompact &&
           free_bytes_ >= free_after_compaction_ + held / kCompactAtFreeShare;
  }
  /// Slides every block in use towards the first chunk, so free room comes together and
  /// emptied chunks go back to the system, and calls relocate(owner, records) for each
  /// block that moved: every pointer to it must follow. Allocates nothing.
  template <class Relocate>
  void compact(Relocate&& relocate) noexcept;

  /// Bytes held from the system, for memory accounting.
  std::size_t bytes_held() const noexcept;
  /// Bytes of the free blocks waiting in the pools.
  std::size_t bytes_free() const noexcept { return free_bytes_; }

 private:
  static constexpr std::size_t kClasses = detail::kBlockClasses;
  static constexpr auto kCapacity = detail::block_capacities();
  static constexpr std::size_t block_bytes(std::uint32_t capacity) noexcept {
    return detail::block_bytes(capacity);
  }

  // The bytes a pooled block spans, header included.
  static std::size_t extent(const Header& h) noexcept {
    return block_bytes(h.capacity) + std::size_t{16} * h.extra;
  }
  static std::size_t class_of(std::uint32_t capacity) noexcept;

  struct Chunk {
    std::unique_ptr<std::byte[]> bytes;
    std::size_t used = 0;  // blocks are carved from the front
  };
  template <class Self, class F>
  static void walk(Self& self, F& f);
  // Under the address sanitizer, free room is poisoned, so a pointer that outlived its
  // block (released, or moved by compact) is caught; a free block's link word stays open.
  static void poison_free(MemoryEdge* block, std::size_t bytes) noexcept {
    RECALL_MESH_POISON(reinterpret_cast<std::byte*>(block) + sizeof(MemoryEdge*),
                       bytes - sizeof(Header) - sizeof(MemoryEdge*));
  }
  void unpoison_chunks(std::size_t from) noexcept;
  void take(EntryArena& other) noexcept {
    chunks_ = std::move(other.chunks_);
    other.chunks_.clear();
    free_ = std::exchange(other.free_, {});
    free_bytes_ = std::exchange(other.free_bytes_, 0);
    free_after_compaction_ = std::exchange(other.free_after_compaction_, 0);
    large_ = std::move(other.large_);
    other.large_.clear();
  }
  MemoryEdge* allocate_large(NameId owner, std::uint32_t capacity);
  // A new block of class k at the end of the last chunk, opening a chunk when it is full.
  MemoryEdge* carve(std::size_t k);
  // Cuts [at, at + bytes) into free blocks, largest first, and returns the bytes they
  // span: all of them, or none when not even the smallest block fits.
  std::size_t cut_free(std::byte* at, std::size_t bytes) noexcept;
  void push_free(std::size_t k, MemoryEdge* block) noexcept;

  // Compaction waits for this share of the chunks to lie free (beyond what the last one
  // left), and for a store of some size: it copies every block in use.
  static constexpr std::size_t kCompactAtFreeShare = 24;
  static constexpr std::size_t kMinChunksToCompact = 4;

  std::vector<Chunk> chunks_;  // blocks are carved from the last
  // Free pooled blocks of each class, linked through their first record's bytes.
  std::array<MemoryEdge*, kClasses> free_{};
  std::size_t free_bytes_ = 0;
  std::size_t free_after_compaction_ = 0;
  // Blocks too large for a chunk, each its own allocation.
  std::vector<std::unique_ptr<std::byte[]>> large_;
};

template <class Relocate>
void EntryArena::compact(Relocate&& relocate) noexcept {
  // Concepts grow through the small classes early on and leave them behind; their free
  // blocks pile up between blocks in use, where no request takes them. Sliding every
  // block in use towards the first chunk, in address order, gathers all free room in
  // chunks that can then be given back whole.
  free_.fill(nullptr);
  free_bytes_ = 0;
  std::size_t into = 0;  // the chunk blocks are slid into, at offset `filled`
  std::size_t filled = 0;
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    std::byte* const start = chunks_[c].bytes.get();
    std::byte* const end = start + chunks_[c].used;
    for (std::byte* at = start; at < end;) {
      auto* h = reinterpret_cast<Header*>(at);
      const std::size_t span = extent(*h);
      if (h->owner != kNoName) {
        h->extra = 0;  // padding stays behind with the free room
        const std::size_t bytes = block_bytes(h->capacity);
        // A block that does not fit what is left of the chunk goes on to the next one;
        // it never passes its own place, where it fits.
        if (kChunkBytes - filled < bytes) {
          std::byte* const rest = chunks_[into].bytes.get() + filled;
          chunks_[into].used = filled + cut_free(rest, kChunkBytes - filled);
          ++into;
          filled = 0;
        }
        std::byte* const to = chunks_[into].bytes.get() + filled;
        if (to != at) {
          RECALL_MESH_UNPOISON(to, bytes);
          std::memmove(to, at, bytes);
          relocate(reinterpret_cast<Header*>(to)->owner,
                   reinterpret_cast<MemoryEdge*>(to + sizeof(Header)));
        }
        filled += bytes;
      }
      at += span;
    }
  }
  if (!chunks_.empty()) {
    // Blocks are carved on from the end of the last chunk that kept any; the chunks after
    // it hold nothing any more.
    chunks_[into].used = filled;
    RECALL_MESH_POISON(chunks_[into].bytes.get() + filled, kChunkBytes - filled);
    unpoison_chunks(into + 1);
    chunks_.resize(into + 1);
  }
  free_after_compaction_ = free_bytes_;
}

template <class Self, class F>
void EntryArena::walk(Self& self, F& f) {
  using Byte = std::conditional_t<std::is_const_v<Self>, const std::byte, std::byte>;
  using HeaderT = std::conditional_t<std::is_const_v<Self>, const Header, Header>;
  using Record = std::conditional_t<std::is_const_v<Self>, const MemoryEdge, MemoryEdge>;
  for (auto& chunk : self.chunks_) {
    Byte* at = chunk.bytes.get();
    Byte* const end = at + chunk.used;
    while (at < end) {
      auto* h = reinterpret_cast<HeaderT*>(at);
      const std::size_t span = extent(*h);  // f may not change it
      if (h->owner != kNoName) f(*h, reinterpret_cast<Record*>(at + sizeof(Header)));
      at += span;
    }
  }
  for (auto& block : self.large_) {
    auto* h = reinterpret_cast<HeaderT*>(block.get());
    f(*h, reinterpret_cast<Record*>(block.get() + sizeof(Header)));
  }
}

}  // namespace recall_mesh::store
