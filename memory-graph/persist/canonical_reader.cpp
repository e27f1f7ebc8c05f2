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

#include "canonical_scan.h"
#include "document_format.h"
#include "reader_values.h"

namespace recall_mesh::persist {
namespace {

using store::AdjacencyMap;

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

using namespace canonical;

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
    // Only blanks may follow, as for the general reader: a file that an editor or a shell
    // gave a final line break is still read once.
    for (;;) {
      const char* p = window_.begin();
      while (p != window_.end() && is_blank(*p)) ++p;
      window_.consume_to(p);
      if (p != window_.end()) return std::nullopt;
      if (!window_.refill()) break;
    }
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
      case State::kStart: {
        // Blanks may lead, as they may follow; they are consumed as they come.
        const char* const first = c.p;
        while (c.p != c.e && is_blank(*c.p)) ++c.p;
        if (c.p == c.e) {
          if (c.p == first) c.stop = Stop::kNeedMore;
          return state;
        }
      }
        c.literal("{\"graph\":{\"adj\":{");
        return State::kInAdjacency;
      case State::kInAdjacency:
      case State::kAfterConcept:
        return in_object(c, state, state == State::kInAdjacency, State::kInConcept,
                         State::kEpilogue, &Reader::concept_head);
      case State::kInConcept:
      case State::kAfterEntry: {
        const State next = in_object(c, state, state == State::kInConcept, State::kAfterEntry,
                                     State::kAfterConcept, &Reader::entry);
        if (next == State::kAfterConcept) flush();
        return next;
      }
      case State::kEpilogue:
        c.literal(epilogue_);
        return State::kDone;
      case State::kDone:
        break;
    }
    return state;
  }

  // Inside an object whose members `member` reads: after its opening brace (`first`) a
  // member or the closing brace, after a member a comma and a member or the closing brace.
  // Returns `closed` once the brace is taken, `next` after a member.
  State in_object(Cursor& c, State state, bool first, State next, State closed,
                  bool (Reader::*member)(Cursor&)) {
    if (!c.need(1)) return state;
    if (*c.p == '}') {
      ++c.p;
      return closed;
    }
    if (!first) {
      if (*c.p != ',') {
        c.off();
        return state;
      }
      ++c.p;
    }
    return (this->*member)(c) ? next : state;
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
    spans_.push_back({text_.size(), neighbour.size(), project.size()});
    text_.append(neighbour).append(project);
    values_.push_back(values);
    if (values_.size() == kBatch) flush();
  }

  // Places the batch's entries in the current concept.
  void flush() {
    if (values_.empty()) return;
    const std::string_view text(text_);
    for (std::size_t i = 0; i < values_.size(); ++i) {
      const Span& s = spans_[i];
      neighbours_.push_back(text.substr(s.at, s.neighbour));
      set_names(values_[i], text.substr(s.at + s.neighbour, s.project));
    }
    adj_.append_new_entries(concept_, neighbours_, values_);
    values_.clear();
    spans_.clear();
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

  // The batch: each entry's neighbour and project names, one after the other in text_,
  // found by offset since text_ may move as it grows.
  struct Span {
    std::size_t at;
    std::size_t neighbour;  // its length; the project follows
    std::size_t project;
  };
  std::string text_;
  std::vector<Span> spans_;
  std::vector<store::EdgeValues> values_;
  std::vector<std::string_view> neighbours_;
};

}  // namespace

std::optional<std::variant<store::AdjacencyMap, Error>> read_canonical(ByteSource& source) {
  return Reader(source).run();
}

}  // namespace recall_mesh::persist
