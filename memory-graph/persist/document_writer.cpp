#include "document_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "float_text.h"

namespace recall_mesh::persist {
namespace {

using store::MemoryEdge;
using store::NeighbourMap;

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

// Escapes `in` into `out`, which has room for 6 bytes per input byte; returns the end.
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

template <std::size_t N>
char* put(char* out, const char (&text)[N]) noexcept {
  std::memcpy(out, text, N - 1);
  return out + (N - 1);
}

char* put_u64(char* out, std::uint64_t v) noexcept {
  return std::to_chars(out, out + 20, v).ptr;
}

class Out {
 public:
  // Larger than the reader's 8192 bytes: each write to a file costs a system call, and
  // at 8192 bytes those calls took a quarter of a large save's time.
  static constexpr std::size_t kBufferSize = 65536;

  explicit Out(ByteSink& sink) : sink_(sink), buf_(std::make_unique<char[]>(kBufferSize)) {}

  /// At least `n` (<= kBufferSize) free bytes; write there, then commit().
  char* reserve(std::size_t n) {
    if (kBufferSize - used_ < n) flush();
    return buf_.get() + used_;
  }
  void commit(char* end) noexcept { used_ = static_cast<std::size_t>(end - buf_.get()); }

  template <std::size_t N>
  void literal(const char (&text)[N]) {
    commit(put(reserve(N - 1), text));
  }

  void string(std::string_view text) {
    constexpr std::size_t kPiece = (kBufferSize - 2) / 6;
    if (text.size() <= kPiece) {
      char* p = reserve(text.size() * 6 + 2);
      *p++ = '"';
      p = escape_into(p, text);
      *p++ = '"';
      commit(p);
      return;
    }
    literal("\"");
    for (std::size_t at = 0; at < text.size(); at += kPiece) {
      commit(escape_into(reserve(kPiece * 6), text.substr(at, kPiece)));
    }
    literal("\"");
  }

  bool flush() {
    if (used_ != 0 && ok_) ok_ = sink_.write(buf_.get(), used_);
    used_ = 0;
    return ok_;
  }
  bool ok() const noexcept { return ok_; }

 private:
  ByteSink& sink_;
  std::size_t used_ = 0;
  bool ok_ = true;
  std::unique_ptr<char[]> buf_;  // on the heap: the caller's thread may have a small stack
};

// The text of recently written floats. Stored values repeat a great deal (defaults, caps,
// the same few steps), and copying a known text is several times cheaper than finding the
// shortest digits again.
class FloatTexts {
 public:
  char* write(char* out, float value) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    Slot& slot = slots_[(bits * 0x9E3779B1U) >> (32 - kSlotBits)];
    if (slot.size == 0 || slot.bits != bits) {
      slot.bits = bits;
      slot.size = static_cast<std::uint8_t>(write_f32(slot.text, value) - slot.text);
    }
    std::memcpy(out, slot.text, sizeof slot.text);  // a fixed size copies fastest
    return out + slot.size;
  }

 private:
  static constexpr unsigned kSlotBits = 8;
  struct Slot {
    std::uint32_t bits = 0;
    std::uint8_t size = 0;  // 0: empty
    char text[kMaxFloatText - 5];
  };
  static_assert(sizeof(Slot::text) >= 24, "room for the longest float text");
  std::array<Slot, std::size_t{1} << kSlotBits> slots_{};
};

// Room reserved for each half of an edge object apart from its project id: member names,
// at most three floats and three integers, and the punctuation.
constexpr std::size_t kEdgeRoom = 256;

// The longest edge object apart from its project id: the member names with quotes, colons
// and commas (172 bytes), two 20-digit times, a 3-digit tier, two 10-digit counts, three
// floats and "false".
constexpr std::size_t kLongestEdge = 172 + 2 * 20 + 3 + 2 * 10 + 3 * 24 + 5;

std::size_t escaped_size(std::string_view text) noexcept {
  std::size_t n = text.size() + 2;
  for (const char c : text) {
    const char e = kEscape[static_cast<unsigned char>(c)];
    if (e != 0) n += e == 'u' ? 5 : 1;
  }
  return n;
}

void write_edge(Out& out, FloatTexts& floats, const store::AdjacencyMap& adj, const MemoryEdge& e) {
  char* p = out.reserve(kEdgeRoom);
  p = put(p, "{\"created_at\":");
  p = put_u64(p, e.created_at);
  p = put(p, ",\"decay_resistance\":");
  p = floats.write(p, e.decay_resistance);
  p = e.is_landmark ? put(p, ",\"is_landmark\":true") : put(p, ",\"is_landmark\":false");
  p = put(p, ",\"last_strengthened\":");
  p = put_u64(p, e.last_strengthened);
  p = put(p, ",\"latency_tier\":");
  p = put_u64(p, e.latency_tier);
  p = put(p, ",\"project_id\":");
  out.commit(p);
  out.string(adj.name(e.project_id));
  p = out.reserve(kEdgeRoom);
  p = put(p, ",\"retrieval_count\":");
  p = put_u64(p, e.retrieval_count);
  p = put(p, ",\"salience\":");
  p = floats.write(p, e.salience);
  p = put(p, ",\"useful_count\":");
  p = put_u64(p, e.useful_count);
  p = put(p, ",\"weight\":");
  p = floats.write(p, e.weight);
  *p++ = '}';
  out.commit(p);
}

// A key sorted by its bytes, carrying its first eight bytes as a big-endian number (zero
// padded): most comparisons settle on that number without reaching the name's bytes.
struct SortKey {
  std::uint64_t head;
  std::string_view text;

  explicit SortKey(std::string_view t) noexcept : head(0), text(t) {
    unsigned char bytes[8] = {};
    if (!t.empty()) std::memcpy(bytes, t.data(), std::min(t.size(), sizeof bytes));
    for (const unsigned char b : bytes) head = head << 8 | b;
  }
  // Equal heads leave the full comparison, so "ab" and "ab\0" still come out in order.
  friend bool operator<(const SortKey& a, const SortKey& b) noexcept {
    return a.head != b.head ? a.head < b.head : a.text < b.text;
  }
};

template <class T>
struct Keyed {
  SortKey key;
  const T* item;
};

template <class T>
void sort_by_key(std::vector<Keyed<T>>& v) {
  std::sort(v.begin(), v.end(), [](const Keyed<T>& a, const Keyed<T>& b) { return a.key < b.key; });
}

// Concepts are written in name order, which is no order in memory, so every concept's
// map, entries and neighbour names would each be a cache miss. The writer asks for them
// ahead, in stages: a later concept's map first, then its entries, then its names.
constexpr std::size_t kMapAhead = 12;
constexpr std::size_t kEntriesAhead = 6;
constexpr std::size_t kNamesAhead = 3;
constexpr std::size_t kLinesAhead = 8;   // entry cache lines asked for per concept
constexpr std::size_t kNamesAsked = 16;  // neighbour names asked for per concept

void prefetch_names(const store::AdjacencyMap& adj, const NeighbourMap& map) noexcept {
  const std::span<const MemoryEdge> entries = map.entries();
  const std::size_t n = std::min(entries.size(), kNamesAsked);
  for (std::size_t i = 0; i < n; ++i) adj.names().prefetch(entries[i].neighbour);
}

}  // namespace

bool write_document(const store::AdjacencyMap& adj, ByteSink& sink) {
  std::vector<Keyed<NeighbourMap>> concepts;
  concepts.reserve(adj.node_count());
  adj.for_each_concept([&](store::NameId id, const NeighbourMap& map) {
    concepts.push_back({SortKey(adj.name(id)), &map});
  });
  sort_by_key(concepts);

  Out out(sink);
  const auto floats = std::make_unique<FloatTexts>();
  out.literal("{\"graph\":{\"adj\":{");
  std::vector<Keyed<MemoryEdge>> entries;
  const std::size_t n = concepts.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kMapAhead < n) __builtin_prefetch(concepts[i + kMapAhead].item);
    if (i + kEntriesAhead < n) concepts[i + kEntriesAhead].item->prefetch_lines(kLinesAhead);
    if (i + kNamesAhead < n) prefetch_names(adj, *concepts[i + kNamesAhead].item);

    if (i != 0) out.literal(",");
    out.string(concepts[i].key.text);
    out.literal(":{");
    entries.clear();
    for (const MemoryEdge& e : concepts[i].item->entries()) {
      entries.push_back({SortKey(adj.name(e.neighbour)), &e});
    }
    sort_by_key(entries);
    bool first_entry = true;
    for (const auto& [neighbour, edge] : entries) {
      if (!first_entry) out.literal(",");
      first_entry = false;
      out.string(neighbour.text);
      out.literal(":");
      write_edge(out, *floats, adj, *edge);
    }
    out.literal("}");
    if (!out.ok()) return false;
  }
  out.literal("}},\"version\":2}");
  return out.flush();
}

std::size_t document_size_bound(const store::AdjacencyMap& adj) {
  std::size_t n = 64;
  adj.for_each_concept([&](store::NameId id, const NeighbourMap& map) {
    n += escaped_size(adj.name(id)) + 3;
    for (const MemoryEdge& e : map.entries()) {
      n += escaped_size(adj.name(e.neighbour)) + escaped_size(adj.name(e.project_id)) + 2 +
           kLongestEdge;
    }
  });
  return n;
}

void append_json_string(std::string& out, std::string_view text) {
  // Sized exactly rather than for the worst case: a message may quote a long string whole,
  // and room for six times its length would outlast the message.
  std::size_t escaped = text.size();
  for (const char c : text) {
    const char e = kEscape[static_cast<unsigned char>(c)];
    if (e != 0) escaped += e == 'u' ? 5 : 1;
  }
  const std::size_t at = out.size();
  out.resize(at + escaped + 2);
  char* p = out.data() + at;
  *p++ = '"';
  p = escape_into(p, text);
  *p = '"';
}

}  // namespace recall_mesh::persist
