#include "spread_activation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "store/graph_ops.h"

namespace recall_mesh::query {
namespace {

using store::AdjacencyMap;
using store::MemoryEdge;
using Energies = std::vector<std::pair<std::string, double>>;

constexpr std::uint64_t kNow = 10000;  // late enough for a first reinforcement

// One directed entry with exactly these values; resistance 1.1 as the upsert leaves it.
MemoryEdge& entry(AdjacencyMap& adj, std::string_view from, std::string_view to, float weight,
                  float salience = 0.5f, std::uint8_t tier = 0, std::string_view project = "p") {
  store::upsert_edge(adj, from, to, project, 0.0f, 0, salience, false);
  MemoryEdge& e = *adj.find_edge(from, to);
  e.weight = weight;
  e.latency_tier = tier;
  return e;
}

void link(AdjacencyMap& adj, std::string_view a, std::string_view b, float weight,
          float salience = 0.5f, std::string_view project = "p") {
  entry(adj, a, b, weight, salience, 0, project);
  entry(adj, b, a, weight, salience, 0, project);
}

Energies spread(AdjacencyMap& adj, std::initializer_list<const char*> seeds,
                std::string_view project = "p", std::uint64_t now = kNow) {
  const std::vector<std::string_view> names(seeds.begin(), seeds.end());
  Energies out;
  for (const Activation& a : spread_activation(adj, names, project, now)) {
    out.emplace_back(a.name, static_cast<double>(a.energy));
  }
  return out;
}

bool reinforced(AdjacencyMap& adj, std::string_view from, std::string_view to) {
  return adj.find_edge(from, to)->last_strengthened == kNow;
}

// A - B - C - D, both directions, weight 0.8, salience 0.5.
AdjacencyMap chain() {
  AdjacencyMap adj;
  link(adj, "A", "B", 0.8f);
  link(adj, "B", "C", 0.8f);
  link(adj, "C", "D", 0.8f);
  return adj;
}

TEST(SpreadActivation, ChainEnergiesAndReinforcedDirections) {
  AdjacencyMap adj = chain();
  const Energies want = {{"A", 1.0}, {"B", 0.4000000059604645}, {"C", 0.1600000113248825}};
  EXPECT_EQ(spread(adj, {"A"}), want) << "C->D carries 0.064, so D stays inactive";
  EXPECT_TRUE(reinforced(adj, "A", "B"));
  EXPECT_TRUE(reinforced(adj, "B", "A")) << "listed before the visited test";
  EXPECT_TRUE(reinforced(adj, "B", "C"));
  EXPECT_FALSE(reinforced(adj, "C", "B"));
  EXPECT_FALSE(reinforced(adj, "C", "D"));
  EXPECT_FALSE(reinforced(adj, "D", "C"));
  EXPECT_EQ(adj.find_edge("A", "B")->weight, 0.8f + 0.15f);
  EXPECT_EQ(adj.find_edge("A", "B")->decay_resistance, (1.0f + 0.1f) + 0.5f);
}

TEST(SpreadActivation, DormantEntryPromotesWithoutActivating) {
  AdjacencyMap adj = chain();
  adj.find_edge("C", "D")->latency_tier = 8;
  entry(adj, "D", "E", 0.8f);
  const Energies want = {
      {"A", 1.0}, {"B", 0.4000000059604645}, {"C", 0.1600000113248825}, {"E", 0.4000000059604645}};
  EXPECT_EQ(spread(adj, {"A"}), want) << "D spreads from 1.0 but is not returned";
  const MemoryEdge& promoted = *adj.find_edge("C", "D");
  EXPECT_EQ(promoted.latency_tier, 0);
  EXPECT_EQ(promoted.weight, 1.0f);
  EXPECT_EQ(promoted.decay_resistance, (1.0f + 0.1f) * 1.5f);
  EXPECT_EQ(promoted.last_strengthened, 0u) << "promotion is not reinforcement";
  EXPECT_TRUE(reinforced(adj, "D", "C")) << "D->C carries 0.4 back into C";
  EXPECT_TRUE(reinforced(adj, "D", "E"));

  AdjacencyMap tier7 = chain();
  tier7.find_edge("C", "D")->latency_tier = 7;
  entry(tier7, "D", "E", 0.8f);
  EXPECT_EQ(spread(tier7, {"A"}).size(), 3u);
  EXPECT_EQ(tier7.find_edge("C", "D")->latency_tier, 7) << "tier 7 is not dormant";
  EXPECT_EQ(tier7.find_edge("C", "D")->weight, 0.8f);
}

TEST(SpreadActivation, ThresholdsAreMetExactly) {
  AdjacencyMap adj;
  entry(adj, "S", "at", 0.2f);                                    // carries the 32-bit 0.1
  entry(adj, "S", "below", std::nextafter(0.2f, 0.0f));           // just under 0.1
  entry(adj, "S", "floor", 0.1f, 0.5f, 8);                        // carries the 32-bit 0.05
  entry(adj, "S", "under", std::nextafter(0.1f, 0.0f), 0.5f, 8);  // just under 0.05
  const Energies want = {{"S", 1.0}, {"at", 0.10000000149011612}};
  EXPECT_EQ(spread(adj, {"S"}), want);
  EXPECT_TRUE(reinforced(adj, "S", "at"));
  EXPECT_FALSE(reinforced(adj, "S", "below"));
  EXPECT_EQ(adj.find_edge("S", "floor")->latency_tier, 0) << "0.05 promotes";
  EXPECT_EQ(adj.find_edge("S", "under")->latency_tier, 8);
}

TEST(SpreadActivation, FirstArrivalWins) {
  AdjacencyMap adj;
  entry(adj, "S", "strong", 1.0f, 1.0f);
  entry(adj, "S", "X", 0.4f);  // 0.2 directly
  entry(adj, "strong", "X", 1.0f, 1.0f);
  entry(adj, "S", "dormant", 0.1f, 0.5f, 9);  // 0.05 over a dormant entry
  entry(adj, "strong", "dormant", 1.0f, 1.0f);
  const Energies want = {{"S", 1.0}, {"strong", 1.0}, {"X", static_cast<double>(0.4f * 0.5f)}};
  EXPECT_EQ(spread(adj, {"S"}), want)
      << "neither a stronger later path nor a later activation replaces the first arrival";
  EXPECT_TRUE(reinforced(adj, "strong", "X")) << "the losing path still carried energy";
  EXPECT_TRUE(reinforced(adj, "strong", "dormant"));
  EXPECT_EQ(adj.find_edge("S", "dormant")->latency_tier, 0);
}

TEST(SpreadActivation, StartingNamesAreReturnedOnceWhateverTheyAre) {
  AdjacencyMap adj;
  link(adj, "A", "B", 0.8f);
  entry(adj, "A", "leaf", 0.8f);  // "leaf" is interned but is not a concept
  const Energies want = {{"A", 1.0}, {"ghost", 1.0}, {"leaf", 1.0}, {"B", 0.4000000059604645}};
  EXPECT_EQ(spread(adj, {"A", "ghost", "A", "leaf", "ghost"}), want);
  EXPECT_EQ(adj.find_edge("A", "B")->weight, 0.8f + 0.15f) << "scanned twice, reinforced once";
  EXPECT_EQ(adj.node_count(), 2u);
  EXPECT_EQ(adj.find_name("ghost"), store::kNoName) << "an unknown name is not interned";
  EXPECT_TRUE(spread(adj, {}).empty());

  AdjacencyMap pair;
  link(pair, "A", "B", 0.4f);
  const Energies both = {{"A", 1.0}, {"B", 1.0}};
  EXPECT_EQ(spread(pair, {"A", "B"}), both) << "two joined seeds both keep 1.0";
  EXPECT_TRUE(reinforced(pair, "A", "B"));
  EXPECT_TRUE(reinforced(pair, "B", "A"));
}

TEST(SpreadActivation, ProjectFilterTakesTheProjectAndGlobal) {
  auto build = [] {
    AdjacencyMap adj;
    link(adj, "S", "mine", 0.8f, 0.5f, "p");
    link(adj, "S", "shared", 0.8f, 0.5f, "Global");
    link(adj, "S", "other", 0.8f, 0.5f, "q");
    link(adj, "S", "case", 0.8f, 0.5f, "global");
    return adj;
  };
  AdjacencyMap adj = build();
  const double e = 0.4000000059604645;
  EXPECT_EQ(spread(adj, {"S"}, "p"), (Energies{{"S", 1.0}, {"mine", e}, {"shared", e}}));
  EXPECT_FALSE(reinforced(adj, "S", "other")) << "a filtered entry is not reinforced";
  EXPECT_FALSE(reinforced(adj, "S", "case"));
  adj = build();
  EXPECT_EQ(spread(adj, {"S"}, "Global"), (Energies{{"S", 1.0}, {"shared", e}}));
  adj = build();
  EXPECT_EQ(spread(adj, {"S"}, "nowhere"), (Energies{{"S", 1.0}, {"shared", e}}));
  AdjacencyMap no_global;
  link(no_global, "S", "x", 0.8f, 0.5f, "q");
  EXPECT_EQ(spread(no_global, {"S"}, "p"), (Energies{{"S", 1.0}}));
}

TEST(SpreadActivation, RepeatedSpreadsRespectTheCoolDownAndReachFarther) {
  AdjacencyMap adj = chain();
  spread(adj, {"A"}, "p", kNow);
  const float once = 0.8f + 0.15f;
  ASSERT_EQ(adj.find_edge("A", "B")->weight, once);
  const float b = (once * 1.0f) * 0.5f;
  const float c = (once * b) * 0.5f;
  const Energies second = {{"A", 1.0}, {"B", b}, {"C", c}};
  EXPECT_EQ(spread(adj, {"A"}, "p", kNow + 3600), second) << "energies follow the new weights";
  EXPECT_EQ(adj.find_edge("A", "B")->weight, once) << "within the cool-down: no change";
  EXPECT_EQ(adj.find_edge("B", "C")->last_strengthened, kNow);
  spread(adj, {"A"}, "p", kNow + 3601);
  EXPECT_EQ(adj.find_edge("A", "B")->weight, 1.0f);
  EXPECT_EQ(adj.find_edge("B", "C")->weight, 1.0f);
  EXPECT_EQ(adj.find_edge("B", "C")->last_strengthened, kNow + 3601);
  // Full weights now carry 0.5, 0.25 and then exactly 0.1 along C->D.
  const Energies farther = {{"A", 1.0}, {"B", 0.5}, {"C", 0.25}, {"D", 0.10000000149011612}};
  EXPECT_EQ(spread(adj, {"A"}, "p", kNow + 3601), farther);
}

TEST(SpreadActivation, NaNAndNegativeEntriesCarryNothing) {
  AdjacencyMap adj;
  entry(adj, "S", "nan_weight", std::nanf(""));
  entry(adj, "S", "nan_salience", 0.8f, std::nanf(""), 9);
  entry(adj, "S", "negative", -0.8f, 0.5f, 9);
  entry(adj, "S", "big", 4.0f, 1.0f);  // nothing is clamped
  const Energies want = {{"S", 1.0}, {"big", 4.0}};
  EXPECT_EQ(spread(adj, {"S"}), want);
  EXPECT_FALSE(reinforced(adj, "S", "nan_weight"));
  EXPECT_EQ(adj.find_edge("S", "nan_salience")->latency_tier, 9);
  EXPECT_EQ(adj.find_edge("S", "negative")->latency_tier, 9);
}

TEST(SpreadActivation, PlanChangesNothingUntilItIsLearned) {
  AdjacencyMap adj = chain();
  adj.find_edge("C", "D")->latency_tier = 8;
  const std::vector<std::string_view> seeds = {"A", "unknown", "A"};
  const SpreadPlan plan = plan_spread(adj, seeds, "p", kNow);
  ASSERT_EQ(plan.size(), 4U);
  EXPECT_EQ(plan.name(0), "A");
  EXPECT_EQ(plan.name(1), "unknown") << "a name the store lacks comes from the seeds";
  EXPECT_EQ(plan.name(3), "C");
  EXPECT_EQ(plan.energy(3), 0.16000001f);
  EXPECT_FALSE(reinforced(adj, "A", "B"));
  EXPECT_EQ(adj.find_edge("C", "D")->latency_tier, 8) << "not promoted yet";

  learn(adj, plan);
  EXPECT_TRUE(reinforced(adj, "A", "B"));
  EXPECT_TRUE(reinforced(adj, "B", "C"));
  EXPECT_EQ(adj.find_edge("C", "D")->latency_tier, 0) << "promoted";
}

}  // namespace
}  // namespace recall_mesh::query
