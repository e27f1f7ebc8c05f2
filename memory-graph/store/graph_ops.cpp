#include "graph_ops.h"

#include "edge_steps.h"

namespace recall_mesh::store {

namespace {

// The upsert of one direction, on names resolved by the caller.
void upsert(AdjacencyMap& adj, AdjacencyMap::NameRef& a, AdjacencyMap::NameRef& b,
            AdjacencyMap::NameRef& project, float weight, std::uint64_t current_time,
            float salience, bool is_landmark) {
  EdgeValues fresh;
  fresh.weight = weight;
  fresh.latency_tier = 0;
  fresh.decay_resistance = 1.0f;
  fresh.last_strengthened = 0;
  fresh.created_at = current_time;
  fresh.is_landmark = is_landmark;
  fresh.salience = salience;
  bool created = false;
  MemoryEdge& e = adj.find_or_add_entry(a, b, project, fresh, created);
  association_step(e, salience, is_landmark);
}

}  // namespace

void upsert_edge(AdjacencyMap& adj, std::string_view a, std::string_view b,
                 std::string_view project_id, float weight, std::uint64_t current_time,
                 float salience, bool is_landmark) {
  AdjacencyMap::NameRef from = adj.resolve(a);
  AdjacencyMap::NameRef to = adj.resolve(b);
  AdjacencyMap::NameRef project = AdjacencyMap::resolve_later(project_id);
  upsert(adj, from, to, project, weight, current_time, salience, is_landmark);
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
  upsert(adj, a, b, project, initial_weight, current_time, salience, is_landmark);
  upsert(adj, b, a, project, initial_weight, current_time, salience, is_landmark);
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
