#include "canonical_reader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "document_format.h"
#include "reader_values.h"

namespace recall_mesh::persist {
namespace {

using store::AdjacencyMap;

// Why a step did not complete.
enum class Stop : std::uint8_t { kNone, kNeedMore, kOff };

// The bytes read and not yet consumed, in one buffer that a step sees whole. A step that
// runs out of bytes is made again once more are read. The buffer starts small, for the
// many small documents, and doubles up to a few megabytes; a step longer than it (a very
// long name) makes it grow further.
class Window {
 public:
  static constexpr std::size_t kFirstSize = std::size_t{64} << 10;
  static constexpr std::size_t kUsualSize = std::size_t{4} << 20;

  explicit Window(ByteSource& source) : source_(source), buf_(kFirstSize) {}

  const char* begin() const noexcept { return buf_.data() + pos_; }
  const char* end() const noexcept { return buf_.data() + end_; }
  void consume_to(const char* p) noexcept { pos_ = static_cast<std::size_t>(p - buf_.data()); }

  /// Reads more after the unconsumed bytes; false when the source has no more.
  bool refill() {
    if (eof_) return false;
    const std::size_t keep = end_ - pos_;
    if (pos_ != 0) {
      std::memmove(buf_.data(), buf_.data() + pos_, keep);
      pos_ = 0;
      end_ = keep;
    }
    if (buf_.size() < kUsualSize || end_ == buf_.size()) buf_.resize(2 * buf_.size());
    bool got = false;
    while (end_ < buf_.size()) {
      if (pending_.empty()) {
        pending_ = source_.next();
        if (pending_.empty()) {
          eof_ = true;
          break;
        }
      }
      const std::size_t n = std::min(pending_.size(), buf_.size() - end_);
      std::memcpy(buf_.data() + end_, pending_.data(), n);
      end_ += n;
      pending_.remove_prefix(n);
      got = true;
    }
    return got;
  }

 private:
  ByteSource& source_;
  std::vector<char> buf_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::string_view pending_;  // the rest of the source's last piece
  bool eof_ = false;
};

// Bytes that stand for themselves in a string: printable ASCII but the quote and the
// backslash.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> t{};
  for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return t;
}();

// The length of the valid UTF-8 sequence at p (lead byte >= 0x80), 0 when it is not one
// (overlong forms, surrogates and values past U+10FFFF included), -1 when it runs past e.
int utf8_length(const unsigned char* p, const unsigned char* e) noexcept {
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

int hex_digit(char c) noexcept {
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
bool read_string(Cursor& c, std::string_view& out, std::string& scratch) {
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

bool is_digit(char c) noexcept {
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
bool read_float(Cursor& c, FloatCache& cache, float& out) {
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

bool read_bool(Cursor& c, bool& out) {
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

class Reader {
 public:
  explicit Reader(ByteSource& source) : source_(source), window_(source) {
    epilogue_ = "},\"version\":" + std::to_string(kDocumentVersion) + "}";
  }

  std::optional<std::variant<AdjacencyMap, Error>> run() {
    State state = State::kStart;
    while (state != State::kDone) {
      Cursor c{window_.begin(), window_.end()};
      const State next = step(state, c);
      if (c.stop == Stop::kNone) {
        window_.consume_to(c.p);
        state = next;
        continue;
      }
      if (c.stop == Stop::kOff) return std::nullopt;
      if (!window_.refill()) {
        if (source_.error() != 0) return read_error(source_.error());
        return std::nullopt;  // cut short: the general reader says where
      }
    }
    // Only the end of the input may follow.
    if (window_.begin() != window_.end() || window_.refill()) return std::nullopt;
    if (source_.error() != 0) return read_error(source_.error());
    return std::move(adj_);
  }

 private:
  enum class State : std::uint8_t {
    kStart,         // before the document
    kInAdjacency,   // after the adjacency's opening brace
    kInConcept,     // after a concept's opening brace
    kAfterEntry,    // after an entry
    kAfterConcept,  // after a concept's closing brace
    kEpilogue,      // after the adjacency's closing brace
    kDone,
  };

  // One step from `state`; on success the state that follows, else c.stop says why.
  State step(State state, Cursor& c) {
    switch (state) {
      case State::kStart:
        c.literal("{\"graph\":{\"adj\":{");
        return State::kInAdjacency;
      case State::kInAdjacency:
        if (!c.need(1)) return state;
        if (*c.p == '}') {
          ++c.p;
          return State::kEpilogue;
        }
        return concept_head(c) ? State::kInConcept : state;
      case State::kInConcept:
        if (!c.need(1)) return state;
        if (*c.p == '}') {
          ++c.p;
          flush();
          return State::kAfterConcept;
        }
        return entry(c) ? State::kAfterEntry : state;
      case State::kAfterEntry:
        if (!c.need(1)) return state;
        if (*c.p == '}') {
          ++c.p;
          flush();
          return State::kAfterConcept;
        }
        if (*c.p != ',') {
          c.off();
          return state;
        }
        ++c.p;
        return entry(c) ? State::kAfterEntry : state;
      case State::kAfterConcept:
        if (!c.need(1)) return state;
        if (*c.p == '}') {
          ++c.p;
          return State::kEpilogue;
        }
        if (*c.p != ',') {
          c.off();
          return state;
        }
        ++c.p;
        return concept_head(c) ? State::kInConcept : state;
      case State::kEpilogue:
        c.literal(epilogue_);
        return State::kDone;
      case State::kDone:
        break;
    }
    return state;
  }

  // `"name":{`, a concept after the one before in byte order.
  bool concept_head(Cursor& c) {
    std::string_view name;
    if (!read_string(c, name, scratch_) || !c.literal(":{")) return false;
    if (have_concept_ && !(std::string_view(previous_concept_) < name)) return c.off();
    concept_ = adj_.add_concept(name);
    previous_concept_.assign(name);
    have_concept_ = true;
    have_neighbour_ = false;
    return true;
  }

  // `"neighbour":{...}` with every member in the writer's order, for a neighbour after the
  // one before in byte order; kept in the batch until the concept ends.
  bool entry(Cursor& c) {
    std::string_view neighbour;
    if (!read_string(c, neighbour, scratch_) || !c.literal(":")) return false;
    store::EdgeValues values;
    std::string_view project;
    bool ok = true;
    char before = '{';
    for_each_field_in<kFieldsByKey>([&](const auto& field) {
      if (!ok) return;
      ok = c.key(before, field.key);
      before = ',';
      if (!ok) return;
      constexpr FieldKind kind = std::remove_cvref_t<decltype(field)>::kind;
      if constexpr (kind == FieldKind::kF32) {
        ok = read_float(c, floats_, values.*field.value);
      } else if constexpr (kind == FieldKind::kBool) {
        ok = read_bool(c, values.*field.value);
      } else if constexpr (kind == FieldKind::kName) {
        static_assert(std::is_same_v<decltype(field.value), std::string_view store::EdgeValues::*>);
        ok = read_string(c, project, project_scratch_) && c.value_ends(c.p);
      } else {
        ok = read_unsigned(c, values.*field.value);
      }
    });
    if (!ok || !c.literal("}")) return false;
    if (have_neighbour_ && !(std::string_view(previous_neighbour_) < neighbour)) return c.off();
    previous_neighbour_.assign(neighbour);
    have_neighbour_ = true;
    add_to_batch(neighbour, project, values);
    return true;
  }

  void add_to_batch(std::string_view neighbour, std::string_view project,
                    const store::EdgeValues& values) {
    const std::size_t at = text_.size();
    text_.append(neighbour);
    spans_.push_back({at, neighbour.size()});
    if (project_spans_.empty() || project != last_project_) {
      last_project_at_ = text_.size();
      text_.append(project);
      last_project_.assign(project);
    }
    project_spans_.push_back({last_project_at_, project.size()});
    values_.push_back(values);
    if (values_.size() == kBatch) flush();
  }

  // Places the batch's entries in the current concept.
  void flush() {
    if (values_.empty()) return;
    neighbours_.clear();
    for (std::size_t i = 0; i < values_.size(); ++i) {
      neighbours_.push_back(std::string_view(text_).substr(spans_[i].first, spans_[i].second));
      set_names(values_[i],
                std::string_view(text_).substr(project_spans_[i].first, project_spans_[i].second));
    }
    adj_.append_new_entries(concept_, neighbours_, values_);
    values_.clear();
    spans_.clear();
    project_spans_.clear();
    neighbours_.clear();
    text_.clear();
  }

  // Entries are placed at the end of their concept, or after this many.
  static constexpr std::size_t kBatch = 4096;

  ByteSource& source_;
  Window window_;
  AdjacencyMap adj_;
  std::string epilogue_;
  FloatCache floats_;
  std::string scratch_;
  std::string project_scratch_;

  store::NameId concept_ = store::kNoName;
  std::string previous_concept_;
  bool have_concept_ = false;
  std::string previous_neighbour_;
  bool have_neighbour_ = false;

  // The batch: names as spans of text_, which may move as it grows.
  std::string text_;
  std::vector<std::pair<std::size_t, std::size_t>> spans_;
  std::vector<std::pair<std::size_t, std::size_t>> project_spans_;
  std::size_t last_project_at_ = 0;
  std::string last_project_;
  std::vector<store::EdgeValues> values_;
  std::vector<std::string_view> neighbours_;
};

}  // namespace

std::optional<std::variant<store::AdjacencyMap, Error>> read_canonical(ByteSource& source) {
  return Reader(source).run();
}

}  // namespace recall_mesh::persist
