#include "edge_steps.h"

#include <cfloat>
#include <cmath>

namespace recall_mesh::store {

float narrow_to_f32(double value) noexcept {
  if (std::isfinite(value) && std::fabs(value) > static_cast<double>(FLT_MAX)) {
    // Round to nearest: up to half a unit past FLT_MAX still rounds down to it.
    const double halfway = 0x1.ffffffp127;
    float magnitude = std::fabs(value) >= halfway ? INFINITY : FLT_MAX;
    return value < 0 ? -magnitude : magnitude;
  }
  return static_cast<float>(value);
}

void association_step(MemoryEdge& e, float salience, bool is_landmark) noexcept {
  e.weight = cap(e.weight + kAssociationGain, kWeightCap);
  e.decay_resistance =
      cap(e.decay_resistance + kAssociationResistanceGain, kAssociationResistanceCap);
  if (salience > e.salience) e.salience = salience;
  if (is_landmark) e.is_landmark = true;
}

bool reinforcement_step(MemoryEdge& e, std::uint64_t now) noexcept {
  const std::uint64_t gap = now - e.last_strengthened;  // wraps on purpose
  if (gap <= kCoolDown) return false;
  e.weight = cap(e.weight + kReinforcementGain, kWeightCap);
  e.decay_resistance = cap(e.decay_resistance + kReinforcementResistanceGain, kResistanceCap);
  e.last_strengthened = now;
  return true;
}

void promotion_step(MemoryEdge& e) noexcept {
  e.latency_tier = 0;
  e.decay_resistance = cap(e.decay_resistance * kPromotionResistanceFactor, kResistanceCap);
  e.weight = kWeightCap;
}

void feedback_penalty(MemoryEdge& e) noexcept {
  e.weight = floor_at(e.weight - kPenalty, kPenaltyFloor);
}

bool decay_step(MemoryEdge& e, float decay_rate) noexcept {
  // Landmarks never decay, so they are skipped before the weight is read.
  if (e.is_landmark) return false;
  const float salience = floor_at(e.salience, kSalienceFloor);
  const float divisor = salience * e.decay_resistance;
  const float decay = decay_rate / divisor;
  e.weight = floor_at(e.weight - decay, 0.0f);
  if (e.weight < kWeakWeight && e.latency_tier < kColdestTier) e.latency_tier++;
  return !(e.weight > 0.0f) && e.latency_tier >= kColdestTier;
}

}  // namespace recall_mesh::store
