#include "json_string.h"

#include <array>
#include <cstring>

namespace recall_mesh::persist {
namespace {

// For each byte, the letter after the backslash of its escape, or 0 when it is written as
// it is. Control characters without a short form use \u00XX.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

char* escape_into(char* out, std::string_view in) noexcept {
  const char* p = in.data();
  const char* const end = p + in.size();
  while (p < end) {
    const char* run = p;
    while (p < end && kEscape[static_cast<unsigned char>(*p)] == 0) ++p;
    std::memcpy(out, run, static_cast<std::size_t>(p - run));
    out += p - run;
    if (p == end) break;
    const unsigned char c = static_cast<unsigned char>(*p++);
    const char e = kEscape[c];
    *out++ = '\\';
    *out++ = e;
    if (e == 'u') {
      *out++ = '0';
      *out++ = '0';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0xf];
    }
  }
  return out;
}

std::size_t escaped_size(std::string_view text) noexcept {
  std::size_t n = text.size() + 2;
  for (const char c : text) {
    const char e = kEscape[static_cast<unsigned char>(c)];
    if (e != 0) n += e == 'u' ? 5 : 1;
  }
  return n;
}

void append_json_string(std::string& out, std::string_view text) {
  // Sized exactly rather than for the worst case: a message may quote a long string whole,
  // and room for six times its length would outlast the message.
  const std::size_t at = out.size();
  out.resize(at + escaped_size(text));
  char* p = out.data() + at;
  *p++ = '"';
  p = escape_into(p, text);
  *p = '"';
}

}  // namespace recall_mesh::persist
