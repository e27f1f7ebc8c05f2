#include "document_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "document_format.h"
#include "float_text.h"
#include "interrupt.h"
#include "json_string.h"

namespace recall_mesh::persist {
namespace {

using store::MemoryEdge;
using store::NeighbourMap;

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
    constexpr std::size_t kPiece = (kBufferSize - 2) / kMaxEscapedByte;
    if (text.size() <= kPiece) {
      char* p = reserve(text.size() * kMaxEscapedByte + 2);
      *p++ = '"';
      p = escape_into(p, text);
      *p++ = '"';
      commit(p);
      return;
    }
    literal("\"");
    for (std::size_t at = 0; at < text.size(); at += kPiece) {
      commit(escape_into(reserve(kPiece * kMaxEscapedByte), text.substr(at, kPiece)));
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

// The longest text a value of `kind` takes; a name is counted apart, as it is escaped.
constexpr std::size_t longest_value(FieldKind kind) noexcept {
  switch (kind) {
    case FieldKind::kF32:
      return kMaxFloatText;
    case FieldKind::kU8:
      return 3;
    case FieldKind::kU32:
      return 10;
    case FieldKind::kU64:
      return 20;
    case FieldKind::kBool:
      return 5;  // "false"
    case FieldKind::kName:
      return 0;
  }
  return 0;
}

// The longest edge object apart from its names: each member's key with its quotes, colon
// and the brace or comma before it, the longest value, and the closing brace.
constexpr std::size_t kLongestEdge = [] {
  std::size_t n = 1;
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    n += kFieldKeys[f].size() + 4 + longest_value(kFieldKinds[f]);
  }
  return n;
}();
static_assert(kLongestEdge < Out::kBufferSize / 4, "an edge's members fit the buffer");

char* put_key(char* out, char before, std::string_view key) noexcept {
  *out++ = before;
  *out++ = '"';
  std::memcpy(out, key.data(), key.size());
  out += key.size();
  *out++ = '"';
  *out++ = ':';
  return out;
}

// Members in byte order of their keys, as the field table gives them; the loop over the
// fields is unrolled, so each member's key is copied from a constant.
void write_edge(Out& out, FloatTexts& floats, const store::AdjacencyMap& adj, const MemoryEdge& e) {
  char* p = out.reserve(kLongestEdge);
  char before = '{';
  for_each_field_in<kFieldsByKey>([&](const auto& field) {
    using Field = std::remove_cvref_t<decltype(field)>;
    p = put_key(p, before, field.key);
    before = ',';
    const auto& value = e.*field.stored;
    if constexpr (Field::kind == FieldKind::kF32) {
      p = floats.write(p, value);
    } else if constexpr (Field::kind == FieldKind::kBool) {
      p = value ? put(p, "true") : put(p, "false");
    } else if constexpr (Field::kind == FieldKind::kName) {
      out.commit(p);
      out.string(adj.name(value));
      p = out.reserve(kLongestEdge);
    } else {
      p = put_u64(p, value);
    }
  });
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

bool StringSink::write(const char* data, std::size_t size) {
  if (interruptible_ && (unpolled_ += size) >= kPollStep) {
    unpolled_ = 0;
    if (stop_requested()) {
      stopped_ = true;
      return false;
    }
  }
  out_.append(data, size);
  return true;
}

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
  out.literal("}},\"version\":");
  out.commit(put_u64(out.reserve(20), kDocumentVersion));
  out.literal("}");
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

}  // namespace recall_mesh::persist
