#include "graph_ops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>

// Counts every allocation of the test binary, so a test can show that a call allocates
// nothing; when g_fail_at is n > 0, the n-th allocation from then on fails.
namespace {
std::atomic<std::size_t> g_allocations{0};
std::atomic<long> g_fail_at{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (g_fail_at.load(std::memory_order_relaxed) > 0 &&
      g_fail_at.fetch_sub(1, std::memory_order_relaxed) == 1) {
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// Kept out of line: inlined into a caller, GCC pairs the free() with the operator new it
// cannot see into and warns of a mismatch.
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace recall_mesh::store {
namespace {

MemoryEdge& edge(AdjacencyMap& adj, std::string_view from, std::string_view to) {
  MemoryEdge* e = adj.find_edge(from, to);
  if (e == nullptr) throw std::logic_error("missing entry");
  return *e;
}

// Every entry by names, with the fields the steps change, and the counts.
using Snapshot = std::tuple<std::size_t, std::size_t, std::size_t,
                            std::map<std::pair<std::string, std::string>,
                                     std::tuple<std::string, float, float, float, bool>>>;
Snapshot snapshot(const AdjacencyMap& adj) {
  Snapshot s{adj.node_count(), adj.edge_count(), adj.names().live(), {}};
  adj.for_each_concept([&](NameId id, const NeighbourMap& map) {
    for (const MemoryEdge& e : map.entries()) {
      std::get<3>(s)[{std::string(adj.name(id)), std::string(adj.name(e.neighbour))}] = {
          std::string(adj.name(e.project_id)), e.weight, e.decay_resistance, e.salience,
          e.is_landmark};
    }
  });
  return s;
}

TEST(AddAssociation, RunningOutOfMemoryChangesNothing) {
  // Every allocation the call makes fails in turn: a hub at the size where its id index
  // appears, a pair stored one way only, and a pair of names the store has never seen.
  struct Case {
    const char* a;
    const char* b;
  };
  for (const Case c : {Case{"hub", "b"}, Case{"new-a", "new-b"}, Case{"b", "hub"}}) {
    for (long k = 1;; ++k) {
      AdjacencyMap adj;
      for (int i = 0; i < static_cast<int>(NeighbourMap::kIndexThreshold); ++i) {
        add_association(adj, "hub", "n" + std::to_string(i), "p", 0.5f, 0, 0.5f, false);
      }
      upsert_edge(adj, "hub", "b", "p", 0.5f, 0, 0.5f, false);
      const Snapshot before = snapshot(adj);
      bool failed = false;
      g_fail_at = k;
      try {
        add_association(adj, c.a, c.b, "q", 0.7f, 1, 0.9f, true);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      g_fail_at = 0;
      if (!failed) {
        EXPECT_NE(snapshot(adj), before) << c.a << " " << c.b;
        EXPECT_NE(adj.find_edge(c.a, c.b), nullptr);
        EXPECT_NE(adj.find_edge(c.b, c.a), nullptr);
        break;
      }
      EXPECT_EQ(snapshot(adj), before) << c.a << " " << c.b << ": allocation " << k;
      ASSERT_LT(k, 100) << "the call should succeed once allocations stop failing";
    }
  }
}

TEST(RecordFeedback, VisitsEachStoredDirection) {
  AdjacencyMap adj;
  upsert_edge(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);  // a -> b only
  record_feedback(adj, "a", "b", false, 0);
  record_feedback(adj, "b", "a", false, 0);
  EXPECT_EQ(edge(adj, "a", "b").retrieval_count, 2u) << "either order reaches a -> b";
  EXPECT_EQ(edge(adj, "a", "b").useful_count, 0u);
  EXPECT_EQ(adj.find_concept("b"), nullptr) << "feedback creates nothing";

  add_association(adj, "x", "y", "p", 0.5f, 0, 0.5f, false);
  edge(adj, "y", "x").weight = 0.12f;
  record_feedback(adj, "x", "y", false, 0);
  EXPECT_EQ(edge(adj, "x", "y").weight, (0.5f + 0.2f) - 0.05f);
  EXPECT_EQ(edge(adj, "y", "x").weight, 0.1f) << "the penalty stops at 0.1";

  record_feedback(adj, "x", "nobody", true, 5000);
  record_feedback(adj, "nobody", "else", true, 5000);
  EXPECT_EQ(adj.node_count(), 3u);
  EXPECT_EQ(adj.edge_count(), 3u);
}

TEST(RecordFeedback, SelfAssociationIsVisitedTwice) {
  AdjacencyMap adj;
  add_association(adj, "s", "s", "p", 0.5f, 0, 0.5f, false);
  const float resistance = edge(adj, "s", "s").decay_resistance;
  record_feedback(adj, "s", "s", true, 5000);
  MemoryEdge& e = edge(adj, "s", "s");
  EXPECT_EQ(e.retrieval_count, 2u);
  EXPECT_EQ(e.useful_count, 2u);
  EXPECT_EQ(e.decay_resistance, resistance + 0.5f) << "the second visit is inside the cool-down";
  e.weight = 0.5f;
  record_feedback(adj, "s", "s", false, 5000);
  EXPECT_EQ(e.retrieval_count, 4u);
  EXPECT_EQ(e.weight, (0.5f - 0.05f) - 0.05f) << "the penalty applies twice";
}

TEST(RecordFeedback, UsefulFeedbackCountsEvenWhenTheCoolDownHolds) {
  AdjacencyMap adj;
  add_association(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  MemoryEdge& e = edge(adj, "a", "b");
  record_feedback(adj, "a", "b", true, 3600);
  EXPECT_EQ(e.useful_count, 1u);
  EXPECT_EQ(e.weight, 0.5f + 0.2f) << "a fresh entry reinforces only after 3600";
  record_feedback(adj, "a", "b", true, 3601);
  EXPECT_EQ(e.weight, (0.5f + 0.2f) + 0.15f);
  EXPECT_EQ(e.last_strengthened, 3601u);
  record_feedback(adj, "a", "b", true, 7201);
  EXPECT_EQ(e.last_strengthened, 3601u);
  record_feedback(adj, "a", "b", true, 10);  // earlier than the last: a huge gap
  EXPECT_EQ(e.last_strengthened, 10u);
  EXPECT_EQ(e.retrieval_count, 4u);
  EXPECT_EQ(e.useful_count, 4u);
}

TEST(RecordFeedback, CountersSaturateInsteadOfWrapping) {
  AdjacencyMap adj;
  add_association(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  MemoryEdge& e = edge(adj, "a", "b");
  e.retrieval_count = 0xfffffffeU;
  e.useful_count = 0xfffffffeU;
  for (int i = 0; i < 3; ++i) record_feedback(adj, "a", "b", true, 0);
  EXPECT_EQ(e.retrieval_count, 0xffffffffU) << "a busy entry must never read as unused";
  EXPECT_EQ(e.useful_count, 0xffffffffU);
  record_feedback(adj, "a", "b", false, 0);
  EXPECT_EQ(e.retrieval_count, 0xffffffffU);
}

TEST(DecayAndPrune, DeathTakesTheTenthWeakPassAndCountsEachDirection) {
  AdjacencyMap adj;
  add_association(adj, "a", "b", "p", 0.5f, 0, 0.05f, false);  // 0.1 / (0.1 * 1.1) > 0.7
  add_association(adj, "keep", "me", "p", 0.5f, 0, 0.5f, true);
  for (int pass = 1; pass <= 9; ++pass) {
    EXPECT_EQ(decay_and_prune(adj, 0.1f), 0u) << pass;
    EXPECT_EQ(edge(adj, "a", "b").weight, 0.0f);
    EXPECT_EQ(edge(adj, "a", "b").latency_tier, pass);
  }
  EXPECT_EQ(decay_and_prune(adj, 0.1f), 2u) << "both directions die in the tenth pass";
  EXPECT_EQ(adj.edge_count(), 2u);
  EXPECT_EQ(adj.node_count(), 2u);
  EXPECT_EQ(adj.find_concept("a"), nullptr);
  const MemoryEdge& landmark = edge(adj, "keep", "me");
  EXPECT_EQ(landmark.weight, 0.5f + 0.2f) << "landmarks never decay";
  EXPECT_EQ(landmark.latency_tier, 0);
  EXPECT_EQ(decay_and_prune(adj, 0.0f), 0u);
}

TEST(DecayAndPrune, TierCountsWeakPassesOnly) {
  AdjacencyMap adj;
  add_association(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  MemoryEdge& strong = edge(adj, "a", "b");
  MemoryEdge& weak = edge(adj, "b", "a");
  weak.weight = 0.05f;
  // A rate of 0 changes no weight yet still counts the weak entry a tier colder.
  EXPECT_EQ(decay_and_prune(adj, 0.0f), 0u);
  EXPECT_EQ(strong.weight, 0.5f + 0.2f);
  EXPECT_EQ(strong.latency_tier, 0);
  EXPECT_EQ(weak.weight, 0.05f);
  EXPECT_EQ(weak.latency_tier, 1);
  // An entry at tier 9 that reaches 0 dies in the pass that makes it tier 10.
  weak.latency_tier = 9;
  weak.weight = 0.0f;
  EXPECT_EQ(decay_and_prune(adj, 0.0f), 1u);
  EXPECT_EQ(adj.edge_count(), 1u);
  // A tier above 10, as a loaded file may hold, is left alone and still kills.
  MemoryEdge& loaded = edge(adj, "a", "b");
  loaded.latency_tier = 200;
  loaded.weight = 0.5f;
  EXPECT_EQ(decay_and_prune(adj, 0.0f), 0u);
  EXPECT_EQ(loaded.latency_tier, 200);
  loaded.weight = -1.0f;
  EXPECT_EQ(decay_and_prune(adj, 0.0f), 1u) << "a negative weight decays to exactly 0";
  EXPECT_EQ(adj.node_count(), 0u);
}

TEST(DecayAndPrune, RateFormulaAndItsExtremes) {
  AdjacencyMap adj;
  add_association(adj, "a", "b", "p", 0.3f, 0, 0.5f, false);
  add_association(adj, "c", "d", "p", 0.3f, 0, 0.5f, true);
  MemoryEdge& e = edge(adj, "a", "b");
  e.decay_resistance = 1.0f;
  decay_and_prune(adj, 0.1f);
  EXPECT_EQ(e.weight, (0.3f + 0.2f) - 0.1f / (0.5f * 1.0f));
  EXPECT_EQ(edge(adj, "b", "a").weight, (0.3f + 0.2f) - 0.1f / (0.5f * (1.0f + 0.1f)));
  decay_and_prune(adj, -1.0f);
  EXPECT_GT(e.weight, 1.0f) << "a negative rate raises weights without bound";
  decay_and_prune(adj, std::nanf(""));
  EXPECT_EQ(e.weight, 0.0f);
  EXPECT_EQ(edge(adj, "b", "a").weight, 0.0f);
  EXPECT_EQ(edge(adj, "c", "d").weight, 0.3f + 0.2f) << "not even a NaN rate touches a landmark";
  e.weight = 0.9f;
  decay_and_prune(adj, INFINITY);
  EXPECT_EQ(e.weight, 0.0f);
}

TEST(DecayAndPrune, PassTwoRemovesEmptyConceptsAndReleasesNames) {
  AdjacencyMap adj;
  upsert_edge(adj, "dying", "only-here", "rare-project", -0.2f, 0, 0.5f, false);
  edge(adj, "dying", "only-here").latency_tier = 10;
  add_association(adj, "hub", "dying", "p", 0.5f, 0, 0.5f, false);
  edge(adj, "dying", "hub").latency_tier = 10;
  edge(adj, "dying", "hub").weight = 0.0f;
  adj.add_concept("loaded-empty");
  ASSERT_EQ(adj.node_count(), 3u);

  EXPECT_EQ(decay_and_prune(adj, 0.0f), 2u);
  EXPECT_EQ(adj.node_count(), 1u);
  EXPECT_EQ(adj.find_concept("dying"), nullptr);
  EXPECT_EQ(adj.find_concept("loaded-empty"), nullptr) << "empty before the call, gone after";
  EXPECT_EQ(adj.find_name("only-here"), kNoName);
  EXPECT_EQ(adj.find_name("rare-project"), kNoName);
  EXPECT_EQ(adj.find_name("loaded-empty"), kNoName);
  // The mirror entry survives and still names the removed concept.
  const NameId dying = adj.find_name("dying");
  ASSERT_NE(dying, kNoName);
  EXPECT_EQ(adj.names().refs(dying), 1u);
  EXPECT_NE(adj.find_edge("hub", "dying"), nullptr);
  EXPECT_EQ(adj.names().live(), 4u) << "hub, dying, p and the store's own \"Global\"";
  AdjacencyMap empty;
  EXPECT_EQ(decay_and_prune(empty, 0.1f), 0u);

  // A concept that was already empty goes even when no entry dies.
  adj.add_concept("another-empty");
  EXPECT_EQ(decay_and_prune(adj, 0.0f), 0u);
  EXPECT_EQ(adj.find_concept("another-empty"), nullptr);
  EXPECT_EQ(adj.node_count(), 1u);
}

TEST(DecayAndPrune, AllocatesNothing) {
  AdjacencyMap adj;
  for (int i = 0; i < 200; ++i) {
    add_association(adj, "hub", std::string("n").append(std::to_string(i)), "p", -0.2f, 0, 0.5f,
                    i % 2 == 0);
  }
  const std::size_t before = g_allocations.load();
  std::size_t removed = 0;
  for (int pass = 0; pass < 10; ++pass) removed += decay_and_prune(adj, 0.5f);
  EXPECT_EQ(g_allocations.load(), before);
  EXPECT_EQ(removed, 200u) << "the non-landmark half, both directions";
  EXPECT_EQ(adj.node_count(), 101u);
}

}  // namespace
}  // namespace recall_mesh::store
