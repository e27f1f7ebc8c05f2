// Interned UTF-8 names: concept names, neighbour names and project ids alike.
//
// Each distinct name is held once and known by a 32-bit id. A name counts its users
// (a concept, an entry naming it as neighbour, an entry naming it as project) and is
// released when the last one goes; its id may then be given to a later name. A name
// with more users than a 32-bit count holds is kept for the life of the pool.
// Part of the store layer; any layer may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <tsl/robin_set.h>

namespace recall_mesh::store {

using NameId = std::uint32_t;
inline constexpr NameId kNoName = 0xffffffffU;

namespace detail {
// Whether n bytes at x and y are equal, for sizeof(Word) <= n <= 2 * sizeof(Word): the
// first and the last word of each, which overlap when n is short of two words.
template <class Word>
bool same_ends(const char* x, const char* y, std::size_t n) noexcept {
  Word x0, x1, y0, y1;
  std::memcpy(&x0, x, sizeof(Word));
  std::memcpy(&x1, x + n - sizeof(Word), sizeof(Word));
  std::memcpy(&y0, y, sizeof(Word));
  std::memcpy(&y1, y + n - sizeof(Word), sizeof(Word));
  return ((x0 ^ y0) | (x1 ^ y1)) == 0;
}
}  // namespace detail

/// Byte equality of two names. Most names are short, and two overlapping words compare
/// them faster than a call to memcmp.
inline bool same_bytes(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n >= 8 && n <= 16) return detail::same_ends<std::uint64_t>(a.data(), b.data(), n);
  if (n >= 4 && n < 8) return detail::same_ends<std::uint32_t>(a.data(), b.data(), n);
  return n == 0 || std::memcmp(a.data(), b.data(), n) == 0;
}

class NamePool {
 public:
  NamePool();
  NamePool(NamePool&&) noexcept = default;
  NamePool& operator=(NamePool&&) noexcept = default;
  NamePool(const NamePool&) = delete;
  NamePool& operator=(const NamePool&) = delete;

  /// The hash of `text` under this pool's key: lets one operation that meets a name
  /// several times hash it once.
  std::size_t hash(std::string_view text) const noexcept { return index_.hash_function()(text); }

  /// The id of `text`, or kNoName when no live name has these bytes. Builds no string.
  NameId find(std::string_view text) const noexcept { return find(text, hash(text)); }
  NameId find(std::string_view text, std::size_t hash) const noexcept;
  /// The id of `text` with one more user; interns it first when it is new.
  NameId acquire(std::string_view text) { return acquire(text, hash(text)); }
  NameId acquire(std::string_view text, std::size_t hash);
  /// One more user of a live name.
  void retain(NameId id) noexcept { add_user((*slots_)[id]); }
  /// One user fewer; the name is released when none is left. Never allocates.
  void release(NameId id) noexcept;

  /// The bytes of a live name; valid until that name is released.
  std::string_view text(NameId id) const noexcept { return (*slots_)[id].text; }
  /// Starts loading a name's slot into the cache, for loops that copy many names.
  void prefetch(NameId id) const noexcept { __builtin_prefetch(&(*slots_)[id]); }
  std::uint32_t refs(NameId id) const noexcept { return (*slots_)[id].refs; }
  /// Every id handed out is below this bound (live or released).
  std::size_t id_bound() const noexcept { return slots_->size(); }
  /// The number of live names.
  std::size_t live() const noexcept { return index_.size(); }

 private:
  friend struct NamePoolPeer;  // tests set a name's count without counting to it

  struct Slot {
    std::string text;
    std::uint32_t refs = 0;      // users of a live name
    NameId next_free = kNoName;  // link of the free list while released
  };
  using Slots = std::vector<Slot>;

  // A name whose users reach the top of the count stays there and is never released:
  // keeping one name too long is harmless, releasing it while entries still name it is
  // not (its id would go to another name).
  static constexpr std::uint32_t kPinned = 0xffffffffU;
  static void add_user(Slot& slot) noexcept { slot.refs += slot.refs != kPinned ? 1U : 0U; }

  // Hashes and compares ids by the bytes they stand for, so the index can be searched
  // with a string_view without building a string.
  struct IdHash {
    using is_transparent = void;
    const Slots* slots;
    std::size_t operator()(NameId id) const noexcept;
    std::size_t operator()(std::string_view text) const noexcept;
  };
  struct IdEqual {
    using is_transparent = void;
    const Slots* slots;
    bool operator()(NameId a, NameId b) const noexcept { return a == b; }
    bool operator()(std::string_view t, NameId id) const noexcept {
      return same_bytes((*slots)[id].text, t);
    }
    bool operator()(NameId id, std::string_view t) const noexcept {
      return same_bytes((*slots)[id].text, t);
    }
  };

  // Heap-held so the functors' pointer survives moving the pool.
  std::unique_ptr<Slots> slots_;
  tsl::robin_set<NameId, IdHash, IdEqual> index_;
  NameId free_head_ = kNoName;
};

}  // namespace recall_mesh::store
