// The record of one directed entry concept -> neighbour, and the float rules every
// edge update shares. Part of the store layer; any layer may include it.
#pragma once

#include <cstdint>
#include <string_view>

#include "name_pool.h"

namespace recall_mesh::store {

/// One directed entry. Names are interned: `neighbour` and `project_id` are ids in the
/// owning store's name pool. 48 bytes, so a concept's entries pack densely.
struct MemoryEdge {
  NameId neighbour;
  NameId project_id;
  float weight;
  float decay_resistance;
  float salience;
  std::uint32_t retrieval_count;
  std::uint32_t useful_count;
  std::uint8_t latency_tier;
  bool is_landmark;
  std::uint64_t last_strengthened;
  std::uint64_t created_at;
};
static_assert(sizeof(MemoryEdge) == 48, "entries should stay compact");

/// The ten fields of an entry as plain values, for loading and for tests.
struct EdgeValues {
  float weight = 0.0f;
  std::uint8_t latency_tier = 0;
  float decay_resistance = 1.0f;
  std::string_view project_id;
  std::uint64_t last_strengthened = 0;
  std::uint64_t created_at = 0;
  bool is_landmark = false;
  float salience = 0.5f;
  std::uint32_t retrieval_count = 0;
  std::uint32_t useful_count = 0;
};

/// The smaller of x and c; c itself when x is not a number.
constexpr float cap(float x, float c) noexcept {
  return x < c ? x : c;
}
/// The larger of x and f; f itself when x is not a number.
constexpr float floor_at(float x, float f) noexcept {
  return x > f ? x : f;
}

/// Rounds a double to the nearest 32-bit float: beyond the float range it becomes an
/// infinity, as the hardware conversion does, without the undefined cast.
float narrow_to_f32(double value) noexcept;

}  // namespace recall_mesh::store
