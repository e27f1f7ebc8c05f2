// The fast reader's scanners: strings, integers, floats and booleans exactly as the
// writer writes them, over a step's bytes (a Cursor). Each says whether it needs more
// bytes than the step holds, or met something the writer does not write. Private to the
// fast reader (canonical_reader.cpp). Persist layer only.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "reader_values.h"

namespace recall_mesh::persist::canonical {

// Why a step did not complete.
enum class Stop : std::uint8_t { kNone, kNeedMore, kOff };

// Bytes that stand for themselves in a string: printable ASCII but the quote and the
// backslash.
inline constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return t;
}();

// The length of the valid UTF-8 sequence at p (lead byte >= 0x80), 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF included), -1 when it runs past e.
inline int utf8_length(const unsigned char* p, const unsigned char* e) noexcept {
  const unsigned char b = p[0];
  int n;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (e - p < n) return -1;
  if (p[1] < lo || p[1] > hi) return 0;
  for (int i = 2; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return n;
}

inline int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes of a step; a failed step leaves `stop` saying why.
struct Cursor {
  const char* p;
  const char* e;
  Stop stop = Stop::kNone;

  bool need(std::size_t n) noexcept {
    if (static_cast<std::size_t>(e - p) >= n) return true;
    stop = Stop::kNeedMore;
    return false;
  }
  bool off() noexcept {
    stop = Stop::kOff;
    return false;
  }
  bool literal(std::string_view text) noexcept {
    if (!need(text.size())) return false;
    if (std::memcmp(p, text.data(), text.size()) != 0) return off();
    p += text.size();
    return true;
  }
  // `before`, then `"key":`.
  bool key(char before, std::string_view key) noexcept {
    const std::size_t n = key.size();
    if (!need(n + 4)) return false;
    if (p[0] != before || p[1] != '"' || std::memcmp(p + 2, key.data(), n) != 0 ||
        p[n + 2] != '"' || p[n + 3] != ':') {
      return off();
    }
    p += n + 4;
    return true;
  }
  // The byte after a value must end it: the next member or the end of the entry.
  bool value_ends(const char* q) noexcept {
    if (q == e) {
      stop = Stop::kNeedMore;
      return false;
    }
    if (*q != ',' && *q != '}') return off();
    p = q;
    return true;
  }
};

// A string in the writer's form at c.p. `out` gets its bytes: a view into the window when
// it holds no escape, else decoded into `scratch`. The writer escapes only the quote, the
// backslash and control characters (\b \t \n \f \r, the rest as \u00xx); any other escape
// is left to the general reader.
inline bool read_string(Cursor& c, std::string_view& out, std::string& scratch) {
  if (!c.need(1)) return false;
  if (*c.p != '"') return c.off();
  const char* const s = c.p + 1;
  const char* q = s;
  bool escaped = false;
  for (;;) {
    while (q < c.e && kPlain[static_cast<unsigned char>(*q)]) ++q;
    if (q == c.e) return c.need(static_cast<std::size_t>(q - c.p) + 1);
    const auto b = static_cast<unsigned char>(*q);
    if (b == '"') break;
    if (b == '\\') {
      escaped = true;
      if (c.e - q < 2) return c.need(static_cast<std::size_t>(q - c.p) + 2);
      const char x = q[1];
      if (x == 'u') {
        if (c.e - q < 6) return c.need(static_cast<std::size_t>(q - c.p) + 6);
        if (q[2] != '0' || q[3] != '0' || (q[4] != '0' && q[4] != '1') || hex_digit(q[5]) < 0) {
          return c.off();
        }
        q += 6;
      } else if (x == '"' || x == '\\' || x == 'b' || x == 'f' || x == 'n' || x == 'r' ||
                 x == 't') {
        q += 2;
      } else {
        return c.off();
      }
      continue;
    }
    if (b < 0x20) return c.off();
    const int n = utf8_length(reinterpret_cast<const unsigned char*>(q),
                              reinterpret_cast<const unsigned char*>(c.e));
    if (n < 0) return c.need(static_cast<std::size_t>(q - c.p) + 4);
    if (n == 0) return c.off();
    q += n;
  }
  if (!escaped) {
    out = {s, static_cast<std::size_t>(q - s)};
  } else {
    scratch.clear();
    for (const char* r = s; r < q;) {
      if (*r != '\\') {
        scratch.push_back(*r++);
        continue;
      }
      const char x = r[1];
      switch (x) {
        case 'u':
          scratch.push_back(static_cast<char>((r[4] - '0') * 16 + hex_digit(r[5])));
          r += 6;
          continue;
        case 'b':
          scratch.push_back('\b');
          break;
        case 'f':
          scratch.push_back('\f');
          break;
        case 'n':
          scratch.push_back('\n');
          break;
        case 'r':
          scratch.push_back('\r');
          break;
        case 't':
          scratch.push_back('\t');
          break;
        default:  // the quote or the backslash
          scratch.push_back(x);
          break;
      }
      r += 2;
    }
    out = scratch;
  }
  c.p = q + 1;
  return true;
}

// JSON's whitespace, which the writer never writes but a document may have around it.
inline bool is_blank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// An integer as the writer writes one: digits, no sign, no leading zero, within `Int`.
template <class Int>
bool read_unsigned(Cursor& c, Int& out) {
  if (!c.need(1)) return false;
  const char* q = c.p;
  std::uint64_t v = 0;
  if (*q == '0') {
    ++q;
  } else {
    if (!is_digit(*q)) return c.off();
    for (; q < c.e && is_digit(*q); ++q) {
      const auto d = static_cast<std::uint64_t>(*q - '0');
      if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return c.off();
      v = v * 10 + d;
    }
  }
  if (!c.value_ends(q)) return false;
  if (v > std::numeric_limits<Int>::max()) return c.off();
  out = static_cast<Int>(v);
  return true;
}

// The text of recently read floats: stored values repeat a great deal, and comparing a
// few bytes is cheaper than converting them again.
class FloatCache {
 public:
  bool find(std::string_view text, float& out) const noexcept {
    const Slot& s = slots_[slot_of(text)];
    if (s.size != text.size() || std::memcmp(s.text, text.data(), text.size()) != 0) {
      return false;
    }
    out = s.value;
    return true;
  }
  void put(std::string_view text, float value) noexcept {
    if (text.size() > sizeof(Slot::text)) return;
    Slot& s = slots_[slot_of(text)];
    s.size = static_cast<std::uint8_t>(text.size());
    std::memcpy(s.text, text.data(), text.size());
    s.value = value;
  }

 private:
  struct Slot {
    std::uint8_t size = 0xff;  // no text is this long: empty
    char text[27];
    float value = 0.0f;
  };
  static constexpr std::size_t kSlots = 256;
  static std::size_t slot_of(std::string_view text) noexcept {
    std::uint64_t head = 0;
    std::memcpy(&head, text.data(), std::min<std::size_t>(text.size(), 8));
    head ^= text.size() * 0x9E3779B97F4A7C15ULL;
    if (text.size() > 8) {
      std::uint64_t tail = 0;
      std::memcpy(&tail, text.data() + text.size() - 8, 8);
      head ^= tail * 0xC2B2AE3D27D4EB4FULL;
    }
    return static_cast<std::size_t>((head * 0x9E3779B97F4A7C15ULL) >> 56) % kSlots;
  }
  std::array<Slot, kSlots> slots_{};
};

// A number field: null (a value with no JSON form, read as NaN) or a JSON number, rounded
// once to the nearest float as the general reader does.
inline bool read_float(Cursor& c, FloatCache& cache, float& out) {
  if (!c.need(1)) return false;
  if (*c.p == 'n') {
    if (!c.literal("null")) return false;
    out = std::numeric_limits<float>::quiet_NaN();
    return c.value_ends(c.p);
  }
  const char* q = c.p;
  auto digits = [&] {
    const char* at = q;
    while (q < c.e && is_digit(*q)) ++q;
    return q != at;
  };
  if (*q == '-') ++q;
  if (q == c.e) return c.need(static_cast<std::size_t>(q - c.p) + 1);
  if (*q == '0') {
    ++q;
  } else if (!digits()) {
    return c.off();
  }
  if (q < c.e && *q == '.') {
    ++q;
    if (!digits()) return q == c.e ? c.need(static_cast<std::size_t>(q - c.p) + 1) : c.off();
  }
  if (q < c.e && (*q == 'e' || *q == 'E')) {
    ++q;
    if (q < c.e && (*q == '+' || *q == '-')) ++q;
    if (!digits()) return q == c.e ? c.need(static_cast<std::size_t>(q - c.p) + 1) : c.off();
  }
  const std::string_view text(c.p, static_cast<std::size_t>(q - c.p));
  if (!c.value_ends(q)) return false;
  if (cache.find(text, out)) return true;
  if (!number_to_f32(text, out)) return c.off();
  cache.put(text, out);
  return true;
}

inline bool read_bool(Cursor& c, bool& out) {
  if (!c.need(1)) return false;
  if (*c.p == 't') {
    if (!c.literal("true")) return false;
    out = true;
  } else {
    if (!c.literal("false")) return false;
    out = false;
  }
  return c.value_ends(c.p);
}

}  // namespace recall_mesh::persist::canonical
