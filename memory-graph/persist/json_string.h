// JSON string text as the document writes it, shared by the writer (every key and name)
// and the reader (names quoted in its messages): '"' and '\' escaped with a backslash,
// control characters as \b \t \n \f \r or \u00XX, every other byte as it is.
// Persist layer only.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace recall_mesh::persist {

/// Room escape_into may need per input byte.
inline constexpr std::size_t kMaxEscapedByte = 6;

/// Writes the escaped bytes of `in` (no quotes) at `out`, which has room for
/// kMaxEscapedByte bytes per input byte; returns the end.
char* escape_into(char* out, std::string_view in) noexcept;

/// The length of `text` written as a JSON string, quotes included.
std::size_t escaped_size(std::string_view text) noexcept;

/// Appends `text` as a JSON string, quotes included, to `out`.
void append_json_string(std::string& out, std::string_view text);

}  // namespace recall_mesh::persist
