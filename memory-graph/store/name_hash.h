// The keyed hash for every name lookup in the module.
//
// The key is drawn from the operating system once per process, so names chosen by
// an adversary cannot be made to collide. Any layer may include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Header-only use of xxHash: its functions compile into ours, so the module links to
// nothing at run time and the hash can inline.
#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

namespace recall_mesh::store {

namespace detail {
/// The process's secret key: written once, while the library is loaded, before any name
/// can be hashed; only read after that.
extern unsigned char name_secret[XXH3_SECRET_DEFAULT_SIZE];
}  // namespace detail

/// Hashes the bytes of `text` with the process's secret key. Inline: every name lookup
/// starts here, and most names are short enough that the hash is a few instructions.
/// Flattened, since the compiler would otherwise keep xxHash's dispatch on the length
/// out of line and call it.
[[gnu::flatten]] inline std::uint64_t hash_name(std::string_view text) noexcept {
  return XXH3_64bits_withSecret(text.data(), text.size(), detail::name_secret,
                                sizeof detail::name_secret);
}

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
