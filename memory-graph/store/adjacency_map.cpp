#include "adjacency_map.h"

#include <cassert>
#include <string_view>
#include <vector>

namespace recall_mesh::store {

NeighbourMap* AdjacencyMap::find_concept(std::string_view name) noexcept {
  return find_concept(names_.find(name));
}

const NeighbourMap* AdjacencyMap::find_concept(std::string_view name) const noexcept {
  return find_concept(names_.find(name));
}

MemoryEdge* AdjacencyMap::find_edge(std::string_view from, std::string_view to) noexcept {
  NeighbourMap* map = find_concept(from);
  if (!map) return nullptr;
  map->prefetch();  // overlaps the fetch of the entries with the lookup of `to`
  const NameId to_id = names_.find(to);
  return to_id == kNoName ? nullptr : map->find(to_id);
}

void AdjacencyMap::ensure_slots() {
  if (concepts_.size() < names_.id_bound()) concepts_.resize(names_.id_bound());
}

NameId AdjacencyMap::add_concept(std::string_view name) {
  const NameId existing = names_.find(name);
  if (existing != kNoName && existing < concepts_.size() && concepts_[existing].present) {
    return existing;
  }
  const NameId id = names_.acquire(name);
  make_concept(id);
  return id;
}

void AdjacencyMap::make_concept(NameId id) {
  try {
    ensure_slots();
  } catch (...) {
    names_.release(id);
    throw;
  }
  concepts_[id].present = true;
  ++node_count_;
}

void AdjacencyMap::unmake_concept(NameId id) noexcept {
  concepts_[id].present = false;
  --node_count_;
  names_.release(id);
}

MemoryEdge AdjacencyMap::make_edge(NameId neighbour, NameId project,
                                   const EdgeValues& v) const noexcept {
  MemoryEdge e{};
  e.neighbour = neighbour;
  e.project_id = project;
  e.weight = v.weight;
  e.decay_resistance = v.decay_resistance;
  e.salience = v.salience;
  e.retrieval_count = v.retrieval_count;
  e.useful_count = v.useful_count;
  e.latency_tier = v.latency_tier;
  e.is_landmark = v.is_landmark;
  e.last_strengthened = v.last_strengthened;
  e.created_at = v.created_at;
  return e;
}

MemoryEdge& AdjacencyMap::find_or_add_entry(NameRef& from, NameRef& to, NameRef& project,
                                            const EdgeValues& fresh, Added& added) {
  if (MemoryEdge* e = find_edge(from.id, to.id)) {
    added = Added::kNothing;
    return *e;
  }
  compact_if_worth_it();
  const bool new_concept = find_concept(from.id) == nullptr;
  if (new_concept) make_concept(acquire(from));
  NameId to_id = kNoName;
  NameId project_id = kNoName;
  try {
    to_id = acquire(to);
    project_id = acquire(project);
    ensure_slots();
    MemoryEdge& e =
        concepts_[from.id].map.append(arena_, from.id, make_edge(to_id, project_id, fresh));
    ++edge_count_;
    added = new_concept ? Added::kEntryAndConcept : Added::kEntry;
    return e;
  } catch (...) {
    // Undo in reverse so a failed insert leaves the store exactly as it was.
    if (project_id != kNoName) names_.release(project_id);
    if (to_id != kNoName) names_.release(to_id);
    if (new_concept) unmake_concept(from.id);
    throw;
  }
}

void AdjacencyMap::undo_added_entry(NameId from, Added added) noexcept {
  concepts_[from].map.drop_last(arena_, [this](const MemoryEdge& e) { release_entry_names(e); });
  --edge_count_;
  if (added == Added::kEntryAndConcept) unmake_concept(from);
}

MemoryEdge& AdjacencyMap::put_entry(NameId concept_id, std::string_view to,
                                    const EdgeValues& values) {
  assert(find_concept(concept_id) && "put_entry needs a concept");
  compact_if_worth_it();
  const NameId to_id = names_.acquire(to);
  NameId project_id = kNoName;
  try {
    project_id = names_.acquire(values.project_id);
    ensure_slots();
    NeighbourMap& map = concepts_[concept_id].map;
    if (MemoryEdge* existing = map.find(to_id)) {
      // The new entry's names are already held; give back the old entry's.
      release_entry_names(*existing);
      *existing = make_edge(to_id, project_id, values);
      return *existing;
    }
    MemoryEdge& e = map.append(arena_, concept_id, make_edge(to_id, project_id, values));
    ++edge_count_;
    return e;
  } catch (...) {
    if (project_id != kNoName) names_.release(project_id);
    names_.release(to_id);
    throw;
  }
}

void AdjacencyMap::append_new_entries(NameId concept_id,
                                      std::span<const std::string_view> neighbours,
                                      std::span<const EdgeValues> values) {
  assert(find_concept(concept_id) && "append_new_entries needs a concept");
  assert(neighbours.size() == values.size() && "one neighbour per entry");
  const std::size_t n = values.size();
  if (n == 0) return;
  compact_if_worth_it();
  // Hash every name, then look them all up in a loop of lookups alone: each lookup is a
  // likely cache miss in a large pool, and with nothing between them they overlap.
  std::vector<std::size_t> hashes(n);
  for (std::size_t i = 0; i < n; ++i) hashes[i] = names_.hash(neighbours[i]);
  std::vector<NameId> found(n);
  for (std::size_t i = 0; i < n; ++i) found[i] = names_.find(neighbours[i], hashes[i]);

  std::vector<MemoryEdge> edges(n);
  std::size_t held = 0;  // entries whose two names are held
  try {
    NameId project = kNoName;
    std::string_view project_text;
    for (; held < n; ++held) {
      NameId to = found[held];
      if (to != kNoName) {
        names_.retain(to);
      } else {
        to = names_.acquire(neighbours[held], hashes[held]);
      }
      try {
        // Entries of one concept mostly share a few projects: the last one is kept at hand.
        if (project == kNoName || !same_bytes(project_text, values[held].project_id)) {
          project = names_.acquire(values[held].project_id);
          project_text = values[held].project_id;
        } else {
          names_.retain(project);
        }
      } catch (...) {
        names_.release(to);
        throw;
      }
      edges[held] = make_edge(to, project, values[held]);
    }
    ensure_slots();
    concepts_[concept_id].map.append_all(arena_, concept_id, edges);
  } catch (...) {
    for (std::size_t i = 0; i < held; ++i) release_entry_names(edges[i]);
    throw;
  }
  edge_count_ += n;
}

void AdjacencyMap::clear_concept(NameId concept_id) noexcept {
  NeighbourMap* map = find_concept(concept_id);
  if (!map) return;
  edge_count_ -= map->size();
  map->clear(arena_, [this](const MemoryEdge& e) { release_entry_names(e); });
}

std::size_t AdjacencyMap::remove_empty_concepts() noexcept {
  std::size_t removed = 0;
  for (std::size_t id = 0; id < concepts_.size(); ++id) {
    ConceptSlot& slot = concepts_[id];
    if (!slot.present || !slot.map.empty()) continue;
    slot.present = false;
    // Give the block back: a removed concept may never return.
    slot.map.clear(arena_, [](const MemoryEdge&) {});
    names_.release(static_cast<NameId>(id));
    ++removed;
  }
  node_count_ -= removed;
  // The blocks just given back would otherwise stay held until the next entry is added,
  // which a graph that is only read from now on never does.
  compact_if_worth_it();
  return removed;
}

}  // namespace recall_mesh::store
