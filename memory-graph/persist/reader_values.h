// Converting the document's scalars into an entry's fields, and the texts of the faults
// that conversion reports ("invalid type: string \"x\", expected u64"). Private to the
// document reader. Persist layer only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/memory_edge.h"

namespace recall_mesh::persist {

/// One JSON scalar as the conversion sees it.
struct Scalar {
  enum class Kind : std::uint8_t { kNull, kBool, kUnsigned, kSigned, kFloat, kString };
  Kind kind = Kind::kNull;
  bool b = false;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0.0;
  std::string_view s;
};

/// A conversion fault: its detail text, or nothing when the value converted.
using Fault = std::optional<std::string>;

/// The value as messages show it: "null", "integer `3`", "string \"a\"".
std::string describe(const Scalar& v);

Fault invalid_type(std::string_view found, std::string_view expected);
Fault invalid_value(std::uint64_t n, std::string_view expected);
Fault invalid_value(std::int64_t n, std::string_view expected);

/// Types a JSON number by how it is written: digits alone are an unsigned integer up to
/// 2^64-1 or a signed one down to -2^63; everything else ("-0", fractions, exponents,
/// larger integers) is a double. False when the magnitude is beyond every double.
bool classify_number(std::string_view text, Scalar& out);

/// A lone trailing surrogate (\udc00 without a leading one) is passed on by the parser as
/// the three bytes ED B0..BF 80..BF. Raw text of that shape fails the parser's UTF-8 check,
/// so finding it means an escape made it.
inline bool has_lone_surrogate(std::string_view s) noexcept {
  // Names are short: a plain loop beats a call to memchr.
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0) {
      return true;
    }
  }
  return false;
}

/// The value of a number field from the text of a valid JSON number, as the reader gives
/// it: rounded once to the nearest float. False when the magnitude is beyond every double.
bool number_to_f32(std::string_view text, float& out);

/// Every field of `edge` at its default.
void reset_fields(store::EdgeValues& edge) noexcept;

/// Converts `v` into field `field` (a position in the field table) of `edge`. A name's
/// text goes to `name`, which the caller keeps alive and points the field at.
Fault set_field(std::size_t field, const Scalar& v, store::EdgeValues& edge, std::string& name);

/// Points every name field of `edge` at `name`.
void set_names(store::EdgeValues& edge, std::string_view name) noexcept;

/// The type error for a container where field `field` wants a scalar.
Fault field_wants_scalar(std::size_t field, std::string_view found);

}  // namespace recall_mesh::persist
