#include "edge_steps.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

namespace recall_mesh::store {
namespace {

MemoryEdge fresh_edge(float weight) {
  MemoryEdge e{};
  e.weight = weight;
  e.decay_resistance = 1.0f;
  e.salience = 0.5f;
  return e;
}

TEST(EdgeSteps, AssociationRaisesCapsAndLatches) {
  MemoryEdge e = fresh_edge(0.5f);
  association_step(e, 0.5f, false);
  EXPECT_EQ(e.weight, 0.5f + 0.2f);
  EXPECT_EQ(static_cast<double>(e.weight), 0.699999988079071);
  EXPECT_EQ(e.decay_resistance, 1.0f + 0.1f);
  for (int i = 0; i < 40; ++i) association_step(e, 0.3f, i == 0);
  EXPECT_EQ(e.weight, 1.0f);
  EXPECT_EQ(e.decay_resistance, 3.0f);
  EXPECT_EQ(e.salience, 0.5f) << "salience is never lowered";
  EXPECT_TRUE(e.is_landmark);
  association_step(e, 0.8f, false);
  EXPECT_EQ(e.salience, 0.8f);
  EXPECT_TRUE(e.is_landmark) << "a landmark stays a landmark";
  e.decay_resistance = 3.7125f;
  association_step(e, std::numeric_limits<float>::quiet_NaN(), false);
  EXPECT_EQ(e.decay_resistance, 3.0f) << "the 3.0 cap can lower the resistance";
  EXPECT_EQ(e.salience, 0.8f) << "a NaN salience never replaces one";
}

TEST(EdgeSteps, CapsTurnNaNIntoTheCap) {
  EXPECT_EQ(cap(std::nanf(""), 1.0f), 1.0f);
  EXPECT_EQ(floor_at(std::nanf(""), 0.1f), 0.1f);
  MemoryEdge e = fresh_edge(std::nanf(""));
  association_step(e, 0.5f, false);
  EXPECT_EQ(e.weight, 1.0f);
  e = fresh_edge(-INFINITY);
  association_step(e, 0.5f, false);
  EXPECT_EQ(e.weight, -INFINITY);
}

TEST(EdgeSteps, ReinforcementCoolDownWrapsUnsigned) {
  MemoryEdge e = fresh_edge(0.7f);
  EXPECT_FALSE(reinforcement_step(e, 3600));
  EXPECT_TRUE(reinforcement_step(e, 3601));
  EXPECT_EQ(e.weight, 0.7f + 0.15f);
  EXPECT_EQ(e.decay_resistance, 1.5f);
  EXPECT_EQ(e.last_strengthened, 3601u);
  EXPECT_FALSE(reinforcement_step(e, 7201));
  EXPECT_TRUE(reinforcement_step(e, 7202));
  EXPECT_EQ(e.weight, 1.0f);
  // A time before the last reinforcement is a huge gap, so the step applies.
  EXPECT_TRUE(reinforcement_step(e, 5));
  EXPECT_EQ(e.last_strengthened, 5u);
  e.decay_resistance = 4.8f;
  EXPECT_TRUE(reinforcement_step(e, 100000));
  EXPECT_EQ(e.decay_resistance, 5.0f);
}

TEST(EdgeSteps, PromotionSequence) {
  MemoryEdge e = fresh_edge(0.01f);
  e.decay_resistance = 1.1f;
  e.latency_tier = 9;
  const float expected[] = {1.1f * 1.5f, 1.1f * 1.5f * 1.5f, 1.1f * 1.5f * 1.5f * 1.5f, 5.0f};
  for (float want : expected) {
    promotion_step(e);
    EXPECT_EQ(e.decay_resistance, want);
    EXPECT_EQ(e.weight, 1.0f);
    EXPECT_EQ(e.latency_tier, 0);
  }
  EXPECT_EQ(e.last_strengthened, 0u);
}

TEST(EdgeSteps, PenaltyFloor) {
  const struct {
    float before, after;
  } cases[] = {{0.5f, 0.5f - 0.05f}, {0.12f, 0.1f}, {0.05f, 0.1f}, {0.0f, 0.1f}};
  for (auto c : cases) {
    MemoryEdge e = fresh_edge(c.before);
    feedback_penalty(e);
    EXPECT_EQ(e.weight, c.after) << c.before;
  }
}

TEST(EdgeSteps, DecayFormulaAndDeathAfterTenthWeakPass) {
  MemoryEdge e = fresh_edge(0.5f);
  e.decay_resistance = 1.0f;
  EXPECT_FALSE(decay_step(e, 0.1f));
  EXPECT_EQ(e.weight, 0.5f - 0.1f / (0.5f * 1.0f));
  e = fresh_edge(0.5f);
  e.salience = 0.05f;  // counts as 0.1
  EXPECT_FALSE(decay_step(e, 0.1f));
  EXPECT_EQ(e.weight, 0.0f);
  EXPECT_EQ(e.latency_tier, 1);
  for (int pass = 2; pass <= 9; ++pass) EXPECT_FALSE(decay_step(e, 0.1f)) << pass;
  EXPECT_EQ(e.latency_tier, 9);
  EXPECT_TRUE(decay_step(e, 0.1f));
  EXPECT_EQ(e.latency_tier, 10);
}

TEST(EdgeSteps, DecayLeavesLandmarksAndClampsAtZero) {
  MemoryEdge e = fresh_edge(0.0f);
  e.latency_tier = 10;
  e.is_landmark = true;
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(decay_step(e, 1.0f));
  EXPECT_EQ(e.weight, 0.0f);
  MemoryEdge neg = fresh_edge(-3.0f);
  decay_step(neg, 0.0f);
  EXPECT_EQ(neg.weight, 0.0f);
  MemoryEdge inf = fresh_edge(0.9f);
  decay_step(inf, INFINITY);
  EXPECT_EQ(inf.weight, 0.0f);
  MemoryEdge zero_div = fresh_edge(0.9f);
  zero_div.decay_resistance = 0.0f;
  decay_step(zero_div, 0.0f);  // 0/0 is NaN, which stores 0
  EXPECT_EQ(zero_div.weight, 0.0f);
}

TEST(EdgeSteps, NarrowingRoundsLikeTheHardware) {
  EXPECT_EQ(narrow_to_f32(0.7), 0.7f);
  EXPECT_EQ(narrow_to_f32(1e300), INFINITY);
  EXPECT_EQ(narrow_to_f32(-1e300), -INFINITY);
  EXPECT_EQ(narrow_to_f32(static_cast<double>(FLT_MAX) * (1 + 1e-9)), FLT_MAX);
  EXPECT_TRUE(std::isnan(narrow_to_f32(std::nan(""))));
  EXPECT_EQ(saturating_increment(0xffffffffU), 0xffffffffU);
}

}  // namespace
}  // namespace recall_mesh::store
