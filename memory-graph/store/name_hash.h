// The keyed hash for every name lookup in the module.
//
// The key is drawn from the operating system once per process, so names chosen by
// an adversary cannot be made to collide. Any layer may include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace recall_mesh::store {

/// Hashes the bytes of `text` with the process's secret key.
std::uint64_t hash_name(std::string_view text) noexcept;

/// Mixes a 32-bit id into a well-spread 64-bit value (not keyed: ids are assigned by us).
constexpr std::uint64_t mix_id(std::uint32_t id) noexcept {
  std::uint64_t x = id;
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

}  // namespace recall_mesh::store
