// The edge updates: association, reinforcement, promotion, feedback penalty and decay.
// Each rule exists here once and every caller (the Python methods, feedback, spreading
// activation) applies it through these functions. All arithmetic is in 32-bit floats.
#pragma once

#include <cstdint>

#include "memory_edge.h"

namespace recall_mesh::store {

inline constexpr float kAssociationGain = 0.2f;
inline constexpr float kAssociationResistanceGain = 0.1f;
inline constexpr float kAssociationResistanceCap = 3.0f;
inline constexpr float kReinforcementGain = 0.15f;
inline constexpr float kReinforcementResistanceGain = 0.5f;
inline constexpr float kResistanceCap = 5.0f;
inline constexpr float kPromotionResistanceFactor = 1.5f;
inline constexpr float kWeightCap = 1.0f;
inline constexpr std::uint64_t kCoolDown = 3600;
inline constexpr float kPenalty = 0.05f;
inline constexpr float kPenaltyFloor = 0.1f;
inline constexpr float kSalienceFloor = 0.1f;
inline constexpr float kWeakWeight = 0.1f;
inline constexpr std::uint8_t kColdestTier = 10;

/// Re-affirms an entry: weight +0.2 (cap 1.0), resistance +0.1 (cap 3.0), salience raised
/// to `salience` when strictly greater, landmark latched on when asked.
inline void association_step(MemoryEdge& e, float salience, bool is_landmark) noexcept {
  e.weight = cap(e.weight + kAssociationGain, kWeightCap);
  e.decay_resistance =
      cap(e.decay_resistance + kAssociationResistanceGain, kAssociationResistanceCap);
  if (salience > e.salience) e.salience = salience;
  if (is_landmark) e.is_landmark = true;
}

/// Whether the cool-down since the entry's last reinforcement is over at `now` (measured
/// with unsigned wrap-around, so a time before it counts as long after).
inline bool cool_down_over(const MemoryEdge& e, std::uint64_t now) noexcept {
  return now - e.last_strengthened > kCoolDown;  // wraps on purpose
}

/// Reinforces an entry unless it was reinforced within the cool-down before `now`: weight
/// +0.15 (cap 1.0), resistance +0.5 (cap 5.0), `now` recorded. Returns whether it took
/// effect.
inline bool reinforcement_step(MemoryEdge& e, std::uint64_t now) noexcept {
  if (!cool_down_over(e, now)) return false;
  e.weight = cap(e.weight + kReinforcementGain, kWeightCap);
  e.decay_resistance = cap(e.decay_resistance + kReinforcementResistanceGain, kResistanceCap);
  e.last_strengthened = now;
  return true;
}

/// Wakes an entry: tier 0, resistance x1.5 (cap 5.0), full weight.
inline void promotion_step(MemoryEdge& e) noexcept {
  e.latency_tier = 0;
  e.decay_resistance = cap(e.decay_resistance * kPromotionResistanceFactor, kResistanceCap);
  e.weight = kWeightCap;
}

/// A useless retrieval: weight -0.05, never below 0.1.
inline void feedback_penalty(MemoryEdge& e) noexcept {
  e.weight = floor_at(e.weight - kPenalty, kPenaltyFloor);
}

/// One decay pass over one entry. Landmarks are left alone. Returns whether the entry
/// died: weight exactly 0 at the coldest tier.
inline bool decay_step(MemoryEdge& e, float decay_rate) noexcept {
  // Landmarks never decay, so they are skipped before the weight is read.
  if (e.is_landmark) return false;
  const float salience = floor_at(e.salience, kSalienceFloor);
  const float divisor = salience * e.decay_resistance;
  const float decay = decay_rate / divisor;
  e.weight = floor_at(e.weight - decay, 0.0f);
  if (e.weight < kWeakWeight && e.latency_tier < kColdestTier) e.latency_tier++;
  return !(e.weight > 0.0f) && e.latency_tier >= kColdestTier;
}

/// Adds one to a counter, saturating at the top so a busy entry never reads as unused.
constexpr std::uint32_t saturating_increment(std::uint32_t n) noexcept {
  return n == 0xffffffffU ? n : n + 1;
}

}  // namespace recall_mesh::store
