// What the graph document holds: its version, and the one table of an entry's fields that
// the reader and the writer both walk. Adding a field to an entry means a row here and a
// member in the store's records; the reader's dispatch, its messages and the writer's
// member order all follow from the table. Persist layer only.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "store/memory_edge.h"

namespace recall_mesh::persist {

/// The version this engine writes, and the newest it reads.
inline constexpr std::uint64_t kDocumentVersion = 2;

/// How a field is written and read: JSON numbers of a given range, a boolean, or a name
/// (a JSON string, interned in the store).
enum class FieldKind : std::uint8_t { kF32, kU8, kU32, kU64, kBool, kName };

template <class V>
constexpr FieldKind kind_of() noexcept {
  if constexpr (std::is_same_v<V, float>) return FieldKind::kF32;
  if constexpr (std::is_same_v<V, std::uint8_t>) return FieldKind::kU8;
  if constexpr (std::is_same_v<V, std::uint32_t>) return FieldKind::kU32;
  if constexpr (std::is_same_v<V, std::uint64_t>) return FieldKind::kU64;
  if constexpr (std::is_same_v<V, bool>) return FieldKind::kBool;
  if constexpr (std::is_same_v<V, std::string_view>) return FieldKind::kName;
}

/// One field of an entry: its key in the document, where the reader puts it (`value`, in
/// the plain record), where the writer finds it (`stored`, in the stored record), whether a
/// document must give it, and the value it takes when it is absent.
template <class V, class S>
struct EdgeField {
  std::string_view key;
  V store::EdgeValues::*value;
  S store::MemoryEdge::*stored;
  bool required;
  V fallback;
  static constexpr FieldKind kind = kind_of<V>();
};

/// The fields in their declared order, which is also the order of the positional (array)
/// form of an entry. The required ones come first.
inline constexpr auto kEdgeFields = std::make_tuple(
    EdgeField<float, float>{"weight", &store::EdgeValues::weight, &store::MemoryEdge::weight, true,
                            0.0f},
    EdgeField<std::uint8_t, std::uint8_t>{"latency_tier", &store::EdgeValues::latency_tier,
                                          &store::MemoryEdge::latency_tier, true, 0},
    EdgeField<float, float>{"decay_resistance", &store::EdgeValues::decay_resistance,
                            &store::MemoryEdge::decay_resistance, true, 1.0f},
    EdgeField<std::string_view, store::NameId>{
        "project_id", &store::EdgeValues::project_id, &store::MemoryEdge::project_id, true, {}},
    EdgeField<std::uint64_t, std::uint64_t>{"last_strengthened",
                                            &store::EdgeValues::last_strengthened,
                                            &store::MemoryEdge::last_strengthened, true, 0},
    EdgeField<std::uint64_t, std::uint64_t>{"created_at", &store::EdgeValues::created_at,
                                            &store::MemoryEdge::created_at, false, 0},
    EdgeField<bool, bool>{"is_landmark", &store::EdgeValues::is_landmark,
                          &store::MemoryEdge::is_landmark, false, false},
    EdgeField<float, float>{"salience", &store::EdgeValues::salience, &store::MemoryEdge::salience,
                            false, 0.5f},
    EdgeField<std::uint32_t, std::uint32_t>{"retrieval_count", &store::EdgeValues::retrieval_count,
                                            &store::MemoryEdge::retrieval_count, false, 0},
    EdgeField<std::uint32_t, std::uint32_t>{"useful_count", &store::EdgeValues::useful_count,
                                            &store::MemoryEdge::useful_count, false, 0});

inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(kEdgeFields)>;

// A field is named by its position in the table; one value is kept for "no field".
static_assert(kFieldCount < 0xff, "field positions are 8-bit, one value kept for none");

/// Calls `f(field)` for every field in the table's order, unrolled.
template <class F>
constexpr void for_each_field(F&& f) {
  std::apply([&](const auto&... field) { (f(field), ...); }, kEdgeFields);
}

/// Calls `f(field)` for the field at each position of `order`, unrolled.
template <auto& Order, class F>
constexpr void for_each_field_in(F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(std::get<Order[I]>(kEdgeFields)), ...);
  }
  (std::make_index_sequence<Order.size()>{});
}

namespace detail {
template <class F, std::size_t... I>
constexpr auto field_array(F f, std::index_sequence<I...>) {
  return std::array{f(std::get<I>(kEdgeFields))...};
}
template <class F>
constexpr auto field_array(F f) {
  return field_array(f, std::make_index_sequence<kFieldCount>{});
}
}  // namespace detail

inline constexpr std::array<std::string_view, kFieldCount> kFieldKeys =
    detail::field_array([](const auto& field) { return field.key; });

inline constexpr std::array<FieldKind, kFieldCount> kFieldKinds =
    detail::field_array([](const auto& field) { return field.kind; });

inline constexpr std::array<bool, kFieldCount> kFieldRequired =
    detail::field_array([](const auto& field) { return field.required; });

/// How many fields a document must give; they are the first ones.
inline constexpr std::size_t kRequiredFields =
    static_cast<std::size_t>(std::count(kFieldRequired.begin(), kFieldRequired.end(), true));
static_assert(std::is_sorted(kFieldRequired.begin(), kFieldRequired.end(), std::greater<>()),
              "a positional entry may stop after the required fields, so they come first");

/// Field positions in ascending byte order of their keys: the writer's member order, and
/// the order in which the reader reports the first of several faulty members.
inline constexpr std::array<std::size_t, kFieldCount> kFieldsByKey = [] {
  std::array<std::size_t, kFieldCount> order{};
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [](std::size_t a, std::size_t b) { return kFieldKeys[a] < kFieldKeys[b]; });
  return order;
}();

/// The type a field's values must have, as messages name it.
constexpr std::string_view expected_text(FieldKind kind) noexcept {
  switch (kind) {
    case FieldKind::kF32:
      return "f32";
    case FieldKind::kU8:
      return "u8";
    case FieldKind::kU32:
      return "u32";
    case FieldKind::kU64:
      return "u64";
    case FieldKind::kBool:
      return "a boolean";
    case FieldKind::kName:
      return "a string";
  }
  return {};
}

}  // namespace recall_mesh::persist
