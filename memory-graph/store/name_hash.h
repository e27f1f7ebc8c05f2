// The keyed hashes for every name and id lookup in the module.
//
// The keys are drawn from the operating system once per process, so names chosen by
// an adversary cannot be made to collide, nor ids be chosen to. Any layer may include
// this header.
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
/// The key mixed into every id hash, drawn with name_secret.
extern std::uint64_t id_key;
}  // namespace detail

/// Hashes the bytes of `text` with the process's secret key. Inline: every name lookup
/// starts here, and most names are short enough that the hash is a few instructions.
/// Flattened, since the compiler would otherwise keep xxHash's dispatch on the length
/// out of line and call it.
[[gnu::flatten]] inline std::uint64_t hash_name(std::string_view text) noexcept {
  return XXH3_64bits_withSecret(text.data(), text.size(), detail::name_secret,
                                sizeof detail::name_secret);
}

/// Hashes a 32-bit id into a well-spread 64-bit value under the process's secret id key.
/// Ids follow the order in which names arrive, so with a fixed mixer whoever chooses the
/// names could choose ids that all land on one run of a concept's index; with the key,
/// where an id lands cannot be known from outside.
inline std::uint64_t mix_id(std::uint32_t id) noexcept {
  std::uint64_t x = id ^ detail::id_key;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return x;
}

/// mix_id as the hasher of a container keyed by id.
struct IdHasher {
  std::size_t operator()(std::uint32_t id) const noexcept {
    return static_cast<std::size_t>(mix_id(id));
  }
};

/// hash_name as the hasher of a container keyed by name.
struct NameHasher {
  std::size_t operator()(std::string_view text) const noexcept {
    return static_cast<std::size_t>(hash_name(text));
  }
};

}  // namespace recall_mesh::store
