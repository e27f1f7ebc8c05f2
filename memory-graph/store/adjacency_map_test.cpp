#include "adjacency_map.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

#include "graph_ops.h"

namespace recall_mesh::store {
namespace {

using test_support::numbered;

TEST(AdjacencyMap, CountsConceptsAndDirectedEntries) {
  AdjacencyMap adj;
  EXPECT_EQ(adj.node_count(), 0u);
  add_association(adj, "a", "b", "p", 0.5f, 100, 0.5f, false);
  EXPECT_EQ(adj.node_count(), 2u);
  EXPECT_EQ(adj.edge_count(), 2u);
  add_association(adj, "a", "a", "p", 0.5f, 0, 0.5f, false);
  EXPECT_EQ(adj.node_count(), 2u);
  EXPECT_EQ(adj.edge_count(), 3u);
  upsert_edge(adj, "c", "d", "p", 0.5f, 0, 0.5f, false);
  EXPECT_EQ(adj.node_count(), 3u) << "a neighbour alone is not a concept";
  EXPECT_EQ(adj.edge_count(), 4u);
  EXPECT_EQ(adj.find_concept("d"), nullptr);
}

TEST(AdjacencyMap, NewEntryAndReaffirmation) {
  AdjacencyMap adj;
  add_association(adj, "a", "b", "p1", 0.5f, 100, 0.5f, false);
  const MemoryEdge* e = adj.find_edge("a", "b");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->weight, 0.5f + 0.2f);
  EXPECT_EQ(e->decay_resistance, 1.0f + 0.1f);
  EXPECT_EQ(e->latency_tier, 0);
  EXPECT_EQ(e->created_at, 100u);
  EXPECT_EQ(e->last_strengthened, 0u);
  EXPECT_EQ(adj.name(e->project_id), "p1");
  add_association(adj, "a", "b", "p2", 0.1f, 999, 0.8f, true);
  e = adj.find_edge("a", "b");
  EXPECT_EQ(e->weight, (0.5f + 0.2f) + 0.2f) << "the new initial weight is ignored";
  EXPECT_EQ(adj.name(e->project_id), "p1");
  EXPECT_EQ(e->created_at, 100u);
  EXPECT_EQ(e->salience, 0.8f);
  EXPECT_TRUE(e->is_landmark);
  EXPECT_EQ(adj.find_name("p2"), kNoName) << "an unused project id is not kept";
  // A new self-association meets the same entry twice.
  add_association(adj, "x", "x", "p", 0.5f, 0, 0.5f, false);
  e = adj.find_edge("x", "x");
  EXPECT_EQ(e->weight, cap(cap(0.5f + 0.2f, 1.0f) + 0.2f, 1.0f));
  EXPECT_EQ(e->decay_resistance, (1.0f + 0.1f) + 0.1f);
}

TEST(AdjacencyMap, HighDegreeConceptsStayFindableThroughRemovals) {
  AdjacencyMap adj;
  constexpr int kNeighbours = 300;
  for (int i = 0; i < kNeighbours; ++i) {
    upsert_edge(adj, "hub", numbered("n", i), "p", 0.5f, 0, 0.5f, false);
  }
  EXPECT_EQ(adj.edge_count(), static_cast<std::size_t>(kNeighbours));
  // Kill every third entry and check every lookup afterwards.
  bool left_empty = true;
  adj.remove_entries_if(
      [&](MemoryEdge& e) {
        const std::string_view name = adj.name(e.neighbour);
        return std::stoi(std::string(name.substr(1))) % 3 == 0;
      },
      left_empty);
  EXPECT_FALSE(left_empty);
  EXPECT_EQ(adj.edge_count(), static_cast<std::size_t>(kNeighbours - kNeighbours / 3));
  for (int i = 0; i < kNeighbours; ++i) {
    const std::string name = numbered("n", i);
    EXPECT_EQ(adj.find_edge("hub", name) != nullptr, i % 3 != 0) << name;
    EXPECT_EQ(adj.find_name(name) != kNoName, i % 3 != 0) << "released with its last entry";
  }
  // Order of the survivors is insertion order.
  auto entries = adj.find_concept("hub")->entries();
  EXPECT_EQ(adj.name(entries[0].neighbour), "n1");
  EXPECT_EQ(adj.name(entries[1].neighbour), "n2");
  EXPECT_EQ(adj.name(entries[2].neighbour), "n4");
}

TEST(AdjacencyMap, PutEntryReplacesAndKeepsNameCounts) {
  AdjacencyMap adj;
  const NameId a = adj.add_concept("a");
  EdgeValues v;
  v.weight = 0.3f;
  v.project_id = "p";
  adj.put_entry(a, "b", v);
  v.weight = 0.9f;
  v.project_id = "q";
  adj.put_entry(a, "b", v);
  EXPECT_EQ(adj.edge_count(), 1u);
  EXPECT_EQ(adj.find_edge("a", "b")->weight, 0.9f);
  EXPECT_EQ(adj.find_name("p"), kNoName);
  EXPECT_EQ(adj.names().refs(adj.find_name("b")), 1u);
  adj.clear_concept(a);
  EXPECT_EQ(adj.edge_count(), 0u);
  EXPECT_EQ(adj.node_count(), 1u) << "a loaded concept may be empty";
  EXPECT_EQ(adj.find_name("b"), kNoName);
}

TEST(AdjacencyMap, DecayPrunesDeadEntriesThenEmptyConcepts) {
  AdjacencyMap adj;
  add_association(adj, "a", "b", "p", -0.2f, 0, 0.5f, false);  // weight 0 at once
  add_association(adj, "c", "d", "p", -0.2f, 0, 0.5f, true);   // landmarks never die
  const NameId e = adj.add_concept("empty");
  ASSERT_NE(e, kNoName);
  for (int pass = 1; pass <= 9; ++pass) EXPECT_EQ(decay_and_prune(adj, 0.01f), 0u) << pass;
  EXPECT_EQ(adj.node_count(), 4u) << "the already-empty concept goes on the first pass";
  EXPECT_EQ(decay_and_prune(adj, 0.01f), 2u);
  EXPECT_EQ(adj.node_count(), 2u);
  EXPECT_EQ(adj.edge_count(), 2u);
  EXPECT_EQ(adj.find_name("a"), kNoName);
  EXPECT_EQ(adj.find_name("b"), kNoName);
  EXPECT_EQ(adj.find_edge("c", "d")->latency_tier, 0);
}

TEST(AdjacencyMap, DecayThatEmptiesConceptsGivesTheirRoomBack) {
  // A graph that decays down and is only read afterwards adds no entry, so the room of
  // the removed concepts has to come back when they go.
  AdjacencyMap adj;
  constexpr int kPairs = 60000;
  for (int i = 0; i < kPairs; ++i) {
    // One pair in ten is a landmark and survives; the rest die on the tenth weak pass.
    add_association(adj, numbered("x", i), numbered("y", i), "p", -0.2f, 0, 0.5f, i % 10 == 0);
  }
  const std::size_t held_before = adj.arena().bytes_held();
  for (int pass = 1; pass <= 10; ++pass) decay_and_prune(adj, 0.01f);
  ASSERT_EQ(adj.node_count(), std::size_t{kPairs / 10 * 2});
  EXPECT_LT(adj.arena().bytes_held(), held_before / 3);
  for (int i = 0; i < kPairs; i += 10) {
    const MemoryEdge* e = adj.find_edge(numbered("y", i), numbered("x", i));
    ASSERT_NE(e, nullptr) << i;
    EXPECT_TRUE(e->is_landmark);
    EXPECT_EQ(e->neighbour, adj.find_name(numbered("x", i)));
  }
}

TEST(GraphOps, FeedbackVisitsBothDirectionsAndSelfTwice) {
  AdjacencyMap adj;
  upsert_edge(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  record_feedback(adj, "b", "a", true, 5000);
  const MemoryEdge* e = adj.find_edge("a", "b");
  EXPECT_EQ(e->retrieval_count, 1u);
  EXPECT_EQ(e->useful_count, 1u);
  EXPECT_EQ(e->last_strengthened, 5000u);
  add_association(adj, "s", "s", "p", 0.5f, 0, 0.5f, false);
  record_feedback(adj, "s", "s", true, 5000);
  e = adj.find_edge("s", "s");
  EXPECT_EQ(e->retrieval_count, 2u);
  EXPECT_EQ(e->useful_count, 2u);
  EXPECT_EQ(e->decay_resistance, (1.0f + 0.1f + 0.1f) + 0.5f) << "reinforced once";
  record_feedback(adj, "nobody", "s", false, 0);
  EXPECT_EQ(adj.node_count(), 2u);
}

}  // namespace
}  // namespace recall_mesh::store
