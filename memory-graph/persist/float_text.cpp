#include "float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace recall_mesh::persist {
namespace {

char* put(char* out, const char* text, std::size_t n) noexcept {
  std::memcpy(out, text, n);
  return out + n;
}

char* put_zeros(char* out, int n) noexcept {
  for (int i = 0; i < n; ++i) *out++ = '0';
  return out;
}

}  // namespace

char* write_f64(char* out, double value) noexcept {
  if (value == 0.0) return std::signbit(value) ? put(out, "-0.0", 4) : put(out, "0.0", 3);

  // Scientific to_chars gives the shortest round-trip digits as "-d.ddde-07"; only the
  // layout is ours.
  char sci[kMaxFloatText];
  const std::to_chars_result r =
      std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  if (*p == '-') *out++ = *p++;

  char digits[20];
  int n = 0;
  while (p < r.ptr && *p != 'e') {
    if (*p != '.') digits[n++] = *p;
    ++p;
  }
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // the exponent's sign is always written
  int k = 0;
  while (p < r.ptr) k = k * 10 + (*p++ - '0');
  if (negative_exponent) k = -k;

  if (k >= 0 && k <= 15) {
    if (n <= k + 1) {
      out = put(out, digits, static_cast<std::size_t>(n));
      out = put_zeros(out, k + 1 - n);
      return put(out, ".0", 2);
    }
    out = put(out, digits, static_cast<std::size_t>(k + 1));
    *out++ = '.';
    return put(out, digits + k + 1, static_cast<std::size_t>(n - k - 1));
  }
  if (k < 0 && k >= -5) {
    out = put(out, "0.", 2);
    out = put_zeros(out, -k - 1);
    return put(out, digits, static_cast<std::size_t>(n));
  }
  *out++ = digits[0];
  if (n > 1) {
    *out++ = '.';
    out = put(out, digits + 1, static_cast<std::size_t>(n - 1));
  }
  *out++ = 'e';
  *out++ = k < 0 ? '-' : '+';
  const unsigned magnitude = static_cast<unsigned>(k < 0 ? -k : k);
  return std::to_chars(out, out + 4, magnitude).ptr;
}

char* write_f32(char* out, float value) noexcept {
  if (!std::isfinite(value)) return put(out, "null", 4);
  return write_f64(out, static_cast<double>(value));
}

}  // namespace recall_mesh::persist
