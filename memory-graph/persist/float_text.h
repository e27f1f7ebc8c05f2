// The text of a float in the graph document: the shortest decimal digits that read back
// as the same 64-bit value, laid out positionally for decimal exponents -5..15 and in
// scientific notation otherwise ("0.5", "100.0", "9.999999974752427e-7"). The writer uses
// it for stored values and the reader for the values it names in its messages.
// Persist layer only.
#pragma once

#include <cstddef>

namespace recall_mesh::persist {

/// Room that write_f64 and write_f32 may use; the longest text is 24 bytes.
inline constexpr std::size_t kMaxFloatText = 32;

/// Writes a finite `value` at `out` and returns the end of the text. Zero is "0.0" and
/// negative zero "-0.0".
char* write_f64(char* out, double value) noexcept;

/// Writes a stored 32-bit float: widened exactly to 64 bits first, so a stored 0.7 reads
/// "0.699999988079071". A value with no JSON form (NaN or an infinity) is written as null.
char* write_f32(char* out, float value) noexcept;

}  // namespace recall_mesh::persist
