#include "graph_ops.h"

#include "edge_steps.h"

namespace recall_mesh::store {

namespace {

// A new entry's values before the association step.
EdgeValues fresh_values(float weight, std::uint64_t current_time, float salience,
                        bool is_landmark) noexcept {
  EdgeValues fresh;
  fresh.weight = weight;
  fresh.latency_tier = 0;
  fresh.decay_resistance = 1.0f;
  fresh.last_strengthened = 0;
  fresh.created_at = current_time;
  fresh.is_landmark = is_landmark;
  fresh.salience = salience;
  return fresh;
}

}  // namespace

void upsert_edge(AdjacencyMap& adj, std::string_view a, std::string_view b,
                 std::string_view project_id, float weight, std::uint64_t current_time,
                 float salience, bool is_landmark) {
  AdjacencyMap::NameRef from = adj.resolve(a);
  AdjacencyMap::NameRef to = adj.resolve(b);
  AdjacencyMap::NameRef project = AdjacencyMap::resolve_later(project_id);
  AdjacencyMap::Added added = AdjacencyMap::Added::kNothing;
  MemoryEdge& e = adj.find_or_add_entry(
      from, to, project, fresh_values(weight, current_time, salience, is_landmark), added);
  association_step(e, salience, is_landmark);
}

void add_association(AdjacencyMap& adj, std::string_view concept_a, std::string_view concept_b,
                     std::string_view project_id, float initial_weight, std::uint64_t current_time,
                     float salience, bool is_landmark) {
  // Each name is hashed and looked up once for both directions, the project only if an
  // entry is created; the first upsert fills in the ids of names it interns, so the
  // second finds them without a lookup. a's entries are asked for as soon as its id is
  // known, so fetching them overlaps b's lookup; then what both directions' lookups read
  // first is asked for at once.
  AdjacencyMap::NameRef a = adj.resolve(concept_a);
  adj.prefetch_concept(a.id);
  AdjacencyMap::NameRef b = adj.resolve(concept_b);
  adj.prefetch_edge(a.id, b.id);
  adj.prefetch_edge(b.id, a.id);
  AdjacencyMap::NameRef project = AdjacencyMap::resolve_later(project_id);
  // Both entries exist before either is stepped, so running out of memory for the second
  // leaves the graph as the call found it: the first is taken back if this call made it.
  const EdgeValues fresh = fresh_values(initial_weight, current_time, salience, is_landmark);
  using Added = AdjacencyMap::Added;
  Added added_ab = Added::kNothing;
  MemoryEdge* ab = &adj.find_or_add_entry(a, b, project, fresh, added_ab);
  Added added_ba = Added::kNothing;
  MemoryEdge* ba = nullptr;
  try {
    ba = &adj.find_or_add_entry(b, a, project, fresh, added_ba);
  } catch (...) {
    if (added_ab != Added::kNothing) adj.undo_added_entry(a.id, added_ab);
    throw;
  }
  if (added_ba != Added::kNothing) ab = adj.find_edge(a.id, b.id);  // a's entries may have moved
  association_step(*ab, salience, is_landmark);
  association_step(*ba, salience, is_landmark);  // the same entry again for a self-association
}

void strengthen_edge(AdjacencyMap& adj, std::string_view from, std::string_view to,
                     std::uint64_t current_time) noexcept {
  if (MemoryEdge* e = adj.find_edge(from, to)) reinforcement_step(*e, current_time);
}

void promote_and_strengthen(AdjacencyMap& adj, std::string_view from,
                            std::string_view to) noexcept {
  if (MemoryEdge* e = adj.find_edge(from, to)) promotion_step(*e);
}

namespace {

void feedback_on(MemoryEdge& e, bool was_useful, std::uint64_t current_time) noexcept {
  e.retrieval_count = saturating_increment(e.retrieval_count);
  if (!was_useful) {
    feedback_penalty(e);
    return;
  }
  e.useful_count = saturating_increment(e.useful_count);
  reinforcement_step(e, current_time);
}

}  // namespace

void record_feedback(AdjacencyMap& adj, std::string_view concept_a, std::string_view concept_b,
                     bool was_useful, std::uint64_t current_time) noexcept {
  const NameId a = adj.find_name(concept_a);
  adj.prefetch_concept(a);  // overlaps the fetch of a's entries with b's lookup
  const NameId b = adj.find_name(concept_b);
  adj.prefetch_edge(a, b);
  adj.prefetch_edge(b, a);
  // Both visits look the entry up afresh: with a == b they meet the same entry twice.
  if (MemoryEdge* e = adj.find_edge(a, b)) feedback_on(*e, was_useful, current_time);
  if (MemoryEdge* e = adj.find_edge(b, a)) feedback_on(*e, was_useful, current_time);
}

std::size_t decay_and_prune(AdjacencyMap& adj, float decay_rate) noexcept {
  bool left_empty = false;
  const std::size_t removed = adj.remove_entries_if(
      [decay_rate](MemoryEdge& e) { return decay_step(e, decay_rate); }, left_empty);
  // The second pass only has work when a concept is left without entries.
  if (left_empty) adj.remove_empty_concepts();
  return removed;
}

}  // namespace recall_mesh::store
