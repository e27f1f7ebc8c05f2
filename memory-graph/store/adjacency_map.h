// The whole state of one graph: concept -> neighbour -> MemoryEdge.
//
// Names are interned in one pool; each concept's entries live in a NeighbourMap found
// by the concept's name id, its records in the shared EntryArena. Nothing here knows about
// Python. Any layer may include it. The layers above change the store only through this
// class and graph_ops.h; they may also read the record and its float rules
// (memory_edge.h, edge_steps.h), the project filter and the name hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "entry_arena.h"
#include "memory_edge.h"
#include "name_pool.h"
#include "neighbour_map.h"

namespace recall_mesh::store {

/// The project whose entries every project-scoped query sees.
inline constexpr std::string_view kGlobalProject = "Global";

class AdjacencyMap {
 public:
  AdjacencyMap() : global_(names_.acquire(kGlobalProject)) {}
  AdjacencyMap(AdjacencyMap&&) noexcept = default;
  AdjacencyMap& operator=(AdjacencyMap&&) noexcept = default;

  /// Number of concepts, those with no entries included. Constant time.
  std::size_t node_count() const noexcept { return node_count_; }
  /// Number of directed entries. Constant time.
  std::size_t edge_count() const noexcept { return edge_count_; }

  const NamePool& names() const noexcept { return names_; }
  /// Where every concept's entries live; read for memory accounting.
  const EntryArena& arena() const noexcept { return arena_; }
  /// The id of a name, or kNoName when no concept or entry uses it.
  NameId find_name(std::string_view text) const noexcept { return names_.find(text); }
  /// The bytes of a live name; valid until the store next changes.
  std::string_view name(NameId id) const noexcept { return names_.text(id); }
  /// The id of "Global". The store keeps that name interned for its whole life, so the
  /// project-scoped queries find it without a lookup.
  NameId global_project_id() const noexcept { return global_; }
  /// Every live id is below this bound; sizes per-call arrays indexed by id.
  std::size_t id_bound() const noexcept { return names_.id_bound(); }

  /// The neighbour map of a concept, or nullptr when the name is not a concept.
  NeighbourMap* find_concept(NameId id) noexcept {
    return id < concepts_.size() && concepts_[id].present ? &concepts_[id].map : nullptr;
  }
  const NeighbourMap* find_concept(NameId id) const noexcept {
    return id < concepts_.size() && concepts_[id].present ? &concepts_[id].map : nullptr;
  }
  /// Starts loading a concept's first entries, if it is one (see NeighbourMap::prefetch).
  void prefetch_concept(NameId id) const noexcept {
    if (const NeighbourMap* map = find_concept(id)) map->prefetch();
  }
  /// Starts loading what find_edge(from, to) reads first, so that the misses of several
  /// lookups whose ids are known overlap (see NeighbourMap::prefetch_find).
  void prefetch_edge(NameId from, NameId to) const noexcept {
    const NeighbourMap* map = find_concept(from);
    if (map == nullptr) return;
    if (to == kNoName) {
      map->prefetch();
    } else {
      map->prefetch_find(to);
    }
  }
  NeighbourMap* find_concept(std::string_view name) noexcept;
  const NeighbourMap* find_concept(std::string_view name) const noexcept;

  /// The entry from -> to, or nullptr when either is missing.
  MemoryEdge* find_edge(std::string_view from, std::string_view to) noexcept;
  MemoryEdge* find_edge(NameId from, NameId to) noexcept {
    NeighbourMap* map = find_concept(from);
    return map && to != kNoName ? map->find(to) : nullptr;
  }
  const MemoryEdge* find_edge(NameId from, NameId to) const noexcept {
    const NeighbourMap* map = find_concept(from);
    return map && to != kNoName ? map->find(to) : nullptr;
  }

  /// Calls f(concept_id, NeighbourMap&) for every concept, in id order.
  template <class F>
  void for_each_concept(F&& f);
  template <class F>
  void for_each_concept(F&& f) const;

  /// Calls f(concept_id, entries) for every concept with entries, in the order their
  /// entries lie in memory: the fastest way over every entry when the order of concepts
  /// does not matter.
  template <class F>
  void for_each_entry_block(F&& f) const {
    arena_.for_each_block([&](const EntryArena::Header& h, const MemoryEdge* records) {
      if (h.size != 0) f(h.owner, std::span<const MemoryEdge>(records, h.size));
    });
  }

  /// Makes `name` a concept (with no entries when new) and returns its id.
  NameId add_concept(std::string_view name);

  /// A name resolved once for several uses within one operation: its bytes, its hash and
  /// its id (kNoName while it is not interned; the store fills it in when it interns the
  /// name). A lazy one is hashed only when first needed. Valid until a name is released.
  struct NameRef {
    std::string_view text;
    std::size_t hash = 0;
    NameId id = kNoName;
    bool resolved = false;
  };
  NameRef resolve(std::string_view text) const noexcept {
    const std::size_t hash = names_.hash(text);
    return {text, hash, names_.find(text, hash), true};
  }
  static NameRef resolve_later(std::string_view text) noexcept { return {text}; }

  /// What find_or_add_entry() added.
  enum class Added : std::uint8_t { kNothing, kEntry, kEntryAndConcept };

  /// The entry from -> to. When it is new it is created with `fresh` and the project
  /// `project` (`fresh.project_id` is not read), and the concept is added when missing;
  /// `added` says which. A failure leaves the store as it was.
  MemoryEdge& find_or_add_entry(NameRef& from, NameRef& to, NameRef& project,
                                const EdgeValues& fresh, Added& added);

  /// Takes back what find_or_add_entry() last added for `from` (`added` is not kNothing),
  /// the names it held included. For a step that fails after the entry was made, so that
  /// the call changes nothing.
  void undo_added_entry(NameId from, Added added) noexcept;

  /// Sets the entry concept -> to to `values`, replacing an entry already there.
  /// `concept_id` must be a concept.
  MemoryEdge& put_entry(NameId concept_id, std::string_view to, const EdgeValues& values);

  /// Appends entries to concept `concept_id`, where `neighbours[i]` names the neighbour of
  /// the entry `values[i]`: the path of a loader that knows the neighbours are distinct
  /// and none is in the concept's map yet. The names are looked up together, so their
  /// cache misses overlap, and the entries placed with one allocation. `neighbours` and
  /// `values` have the same length. A throw leaves the store as it was.
  void append_new_entries(NameId concept_id, std::span<const std::string_view> neighbours,
                          std::span<const EdgeValues> values);

  /// Removes every entry of a concept, leaving the concept with an empty map.
  void clear_concept(NameId concept_id) noexcept;

  /// Removes, in place, every entry for which dead(MemoryEdge&) holds; `dead` may change
  /// the entry it is given. Returns the number removed; `left_empty` is set when some
  /// concept has no entries afterwards. Allocates nothing.
  template <class Dead>
  std::size_t remove_entries_if(Dead&& dead, bool& left_empty) noexcept;

  /// Removes every concept whose neighbour map is empty; returns how many. Compacts the
  /// arena when enough room came free, so no reference into the store survives the call.
  std::size_t remove_empty_concepts() noexcept;

 private:
  struct ConceptSlot {
    NeighbourMap map;
    bool present = false;
  };

  MemoryEdge make_edge(NameId neighbour, NameId project, const EdgeValues& v) const noexcept;
  void release_entry_names(const MemoryEdge& e) noexcept {
    names_.release(e.neighbour);
    names_.release(e.project_id);
  }
  void ensure_slots();
  // Makes `id`, interned with one user taken for the concept, a concept; on failure that
  // user is given back. unmake_concept() takes back a concept just made, user included.
  void make_concept(NameId id);
  void unmake_concept(NameId id) noexcept;
  // Gives the arena's scattered free room back to it once there is enough of it; called
  // before an entry is added and after concepts are removed, when no reference into the
  // store is held.
  void compact_if_worth_it() noexcept {
    if (!arena_.wants_compaction()) return;
    arena_.compact(
        [this](NameId owner, MemoryEdge* block) { concepts_[owner].map.relocated(block); });
  }
  // One more user of a resolved name, interning it when needed.
  NameId acquire(NameRef& ref) {
    if (!ref.resolved) {
      ref.hash = names_.hash(ref.text);
      ref.resolved = true;
      ref.id = names_.acquire(ref.text, ref.hash);
    } else if (ref.id == kNoName) {
      ref.id = names_.acquire(ref.text, ref.hash);
    } else {
      names_.retain(ref.id);
    }
    return ref.id;
  }

  NamePool names_;
  NameId global_;                      // after names_, which interns it
  EntryArena arena_;                   // every concept's entries
  std::vector<ConceptSlot> concepts_;  // indexed by name id
  std::size_t node_count_ = 0;
  std::size_t edge_count_ = 0;
};

template <class F>
void AdjacencyMap::for_each_concept(F&& f) {
  for (std::size_t id = 0; id < concepts_.size(); ++id) {
    if (concepts_[id].present) f(static_cast<NameId>(id), concepts_[id].map);
  }
}

template <class F>
void AdjacencyMap::for_each_concept(F&& f) const {
  for (std::size_t id = 0; id < concepts_.size(); ++id) {
    if (concepts_[id].present) f(static_cast<NameId>(id), std::as_const(concepts_[id].map));
  }
}

template <class Dead>
std::size_t AdjacencyMap::remove_entries_if(Dead&& dead, bool& left_empty) noexcept {
  // Block by block in the order they lie in memory, so the pass streams through the
  // arena instead of jumping from concept to concept.
  std::size_t removed = 0;
  std::size_t holding = 0;  // concepts with an entry left
  arena_.for_each_block([&](EntryArena::Header& h, MemoryEdge* block) {
    const std::size_t gone = NeighbourMap::remove_from_block(
        h, block, dead, [this](const MemoryEdge& e) { release_entry_names(e); });
    if (gone != 0) {
      removed += gone;
      concepts_[h.owner].map.entries_removed();
    }
    holding += h.size != 0;
  });
  edge_count_ -= removed;
  // Each concept has at most one block, so fewer blocks with entries than concepts means
  // some concept has none, whether this pass emptied it or it had none before.
  left_empty = holding < node_count_;
  return removed;
}

}  // namespace recall_mesh::store
