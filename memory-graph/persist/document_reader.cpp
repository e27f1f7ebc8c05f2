#include "document_reader.h"

#include <cstddef>

// RapidJSON counts string lengths in 32 bits unless told otherwise, and would hand over a
// name of 4 GiB or more cut to its length modulo 2^32.
#define RAPIDJSON_NO_SIZETYPEDEFINE
namespace rapidjson {
using SizeType = std::size_t;
}  // namespace rapidjson
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "document_writer.h"
#include "float_text.h"
#include "os_error.h"

namespace recall_mesh::persist {
namespace {

using store::AdjacencyMap;

// Arrays and objects may nest this deep; our own documents use five levels.
constexpr unsigned kMaxDepth = 128;

constexpr char kEndOfInput[1] = {'\0'};

// The parser's view of a ByteSource: one piece at a time, with a NUL after the last byte
// (the parser's end mark). Line breaks of retired pieces are counted so that an error
// offset can be turned into a line and column without keeping old pieces.
class PieceStream {
 public:
  using Ch = char;

  explicit PieceStream(ByteSource& source) : source_(source) { load(); }

  Ch Peek() const noexcept { return *cur_; }
  Ch Take() {
    const Ch c = *cur_;
    if (cur_ + 1 < end_) {
      ++cur_;
    } else {
      advance();
    }
    return c;
  }
  std::size_t Tell() const noexcept { return base_ + static_cast<std::size_t>(cur_ - begin_); }

  // Only in-place parsing writes to the stream, and we never ask for it.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  /// True once every byte has been taken (a NUL byte inside the input is not the end).
  bool at_end() const noexcept { return at_end_; }

  /// 1-based line and byte column of the byte at `offset` (one past the last byte at the
  /// end). An error offset lies at most a few bytes before the current piece (the start of
  /// a number, an escape or a bad UTF-8 sequence), so the offsets of the last line breaks
  /// of retired pieces are enough to place it.
  std::pair<std::size_t, std::size_t> position_of(std::size_t offset) const noexcept {
    std::size_t lines = lines_;
    while (lines > 0 && lines_ - lines < kRecentBreaks &&
           recent_[lines % kRecentBreaks] >= offset) {
      --lines;
    }
    std::size_t line_start = lines == 0 ? 0 : recent_[lines % kRecentBreaks] + 1;
    if (!at_end_ && offset > base_) {
      const std::size_t n = std::min(offset - base_, static_cast<std::size_t>(end_ - begin_));
      for (std::size_t i = 0; i < n; ++i) {
        if (begin_[i] == '\n') {
          ++lines;
          line_start = base_ + i + 1;
        }
      }
    }
    return {lines + 1, offset >= line_start ? offset - line_start + 1 : 1};
  }

 private:
  static constexpr std::size_t kRecentBreaks = 8;

  void advance() {
    if (at_end_) return;
    for (const char* p = begin_; p < end_;) {
      const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end_ - p));
      if (!nl) break;
      p = static_cast<const char*>(nl);
      ++lines_;
      recent_[lines_ % kRecentBreaks] = base_ + static_cast<std::size_t>(p - begin_);
      ++p;
    }
    base_ += static_cast<std::size_t>(end_ - begin_);
    load();
  }

  void load() {
    const std::string_view piece = source_.next();
    if (piece.empty()) {
      at_end_ = true;
      begin_ = cur_ = kEndOfInput;
      end_ = kEndOfInput + 1;
      return;
    }
    begin_ = cur_ = piece.data();
    end_ = piece.data() + piece.size();
  }

  ByteSource& source_;
  const char* begin_ = nullptr;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  std::size_t base_ = 0;                             // offset of begin_
  std::size_t lines_ = 0;                            // line breaks in retired pieces
  std::array<std::size_t, kRecentBreaks> recent_{};  // offset of break i at i % kRecentBreaks
  bool at_end_ = false;
};

// One JSON scalar as the conversion sees it.
struct Scalar {
  enum class Kind : std::uint8_t { kNull, kBool, kUnsigned, kSigned, kFloat, kString };
  Kind kind = Kind::kNull;
  bool b = false;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double d = 0.0;
  std::string_view s;
};

// A conversion fault: its detail text, or nothing when the value converted.
using Fault = std::optional<std::string>;

std::string describe(const Scalar& v) {
  char num[kMaxFloatText];
  switch (v.kind) {
    case Scalar::Kind::kNull:
      return "null";
    case Scalar::Kind::kBool:
      return v.b ? "boolean `true`" : "boolean `false`";
    case Scalar::Kind::kUnsigned:
      return "integer `" + std::string(num, std::to_chars(num, num + sizeof num, v.u).ptr) + "`";
    case Scalar::Kind::kSigned:
      return "integer `" + std::string(num, std::to_chars(num, num + sizeof num, v.i).ptr) + "`";
    case Scalar::Kind::kFloat:
      return "floating point `" + std::string(num, write_f64(num, v.d)) + "`";
    case Scalar::Kind::kString: {
      std::string out = "string ";
      append_json_string(out, v.s);
      return out;
    }
  }
  return {};
}

Fault invalid_type(std::string_view found, std::string_view expected) {
  std::string text = "invalid type: ";
  text.append(found).append(", expected ").append(expected);
  return text;
}

template <class Int>
Fault invalid_value(Int n, std::string_view expected) {
  char num[24];
  std::string text = "invalid value: integer `";
  text.append(num, std::to_chars(num, num + sizeof num, n).ptr);
  text.append("`, expected ").append(expected);
  return text;
}

// The ten fields in declaration order, which is also the order of the positional form.
enum Field : std::uint8_t {
  kWeight,
  kLatencyTier,
  kDecayResistance,
  kProjectId,
  kLastStrengthened,
  kCreatedAt,
  kIsLandmark,
  kSalience,
  kRetrievalCount,
  kUsefulCount,
  kFieldCount,
  kUnknownField = 0xff,
};

// The first five must be present; the rest have defaults.
constexpr unsigned kRequiredFields = 5;

constexpr std::array<std::string_view, kFieldCount> kFieldKeys = {
    "weight",     "latency_tier", "decay_resistance", "project_id",      "last_strengthened",
    "created_at", "is_landmark",  "salience",         "retrieval_count", "useful_count"};

// The fields in byte order of their keys: of several wrongly typed members, the one with
// the smallest key is reported.
constexpr std::array<Field, kFieldCount> kFieldsByKey = {
    kCreatedAt, kDecayResistance, kIsLandmark, kLastStrengthened, kLatencyTier,
    kProjectId, kRetrievalCount,  kSalience,   kUsefulCount,      kWeight};

std::string_view expected_of(Field f) {
  switch (f) {
    case kWeight:
    case kDecayResistance:
    case kSalience:
      return "f32";
    case kLatencyTier:
      return "u8";
    case kRetrievalCount:
    case kUsefulCount:
      return "u32";
    case kLastStrengthened:
    case kCreatedAt:
      return "u64";
    case kIsLandmark:
      return "a boolean";
    case kProjectId:
      return "a string";
    default:
      return {};
  }
}

Field field_of_key(std::string_view key) {
  for (std::uint8_t f = 0; f < kFieldCount; ++f) {
    if (kFieldKeys[f] == key) return static_cast<Field>(f);
  }
  return kUnknownField;
}

// A JSON number as the document's rules type it: digits alone are an unsigned integer up
// to 2^64-1 or a signed one down to -2^63; everything else ("-0", fractions, exponents,
// larger integers) is a double. False when the magnitude is beyond every double.
bool classify_number(std::string_view text, Scalar& out) {
  const char* const first = text.data();
  const char* const last = first + text.size();
  const bool has_point_or_exponent = text.find_first_of(".eE") != std::string_view::npos;
  if (!has_point_or_exponent) {
    if (text[0] != '-') {
      if (std::from_chars(first, last, out.u).ec == std::errc{}) {
        out.kind = Scalar::Kind::kUnsigned;
        return true;
      }
    } else if (text != "-0" && std::from_chars(first, last, out.i).ec == std::errc{}) {
      out.kind = Scalar::Kind::kSigned;
      return true;
    }
  }
  out.kind = Scalar::Kind::kFloat;
  const std::from_chars_result r = std::from_chars(first, last, out.d);
  if (r.ec != std::errc::result_out_of_range) return true;

  // Out of range either way: too small rounds to zero, too large has no value. The decimal
  // exponent of the first significant digit tells which.
  const char* p = first + (text[0] == '-' ? 1 : 0);
  std::int64_t k = 0;
  if (*p != '0') {
    while (p < last && *p >= '0' && *p <= '9') ++p, ++k;
    k -= 1;
  } else {
    p += 2;  // "0."
    k = -1;
    while (p < last && *p == '0') ++p, --k;
  }
  const char* e = first;
  while (e < last && *e != 'e' && *e != 'E') ++e;
  std::int64_t exponent = 0;
  if (e < last) {
    ++e;
    const bool negative = *e == '-';
    if (*e == '-' || *e == '+') ++e;
    for (; e < last && exponent < 1'000'000'000; ++e) exponent = exponent * 10 + (*e - '0');
    if (negative) exponent = -exponent;
  }
  if (k + exponent > 0) return false;
  out.d = text[0] == '-' ? -0.0 : 0.0;
  return true;
}

// A lone trailing surrogate (\udc00 without a leading one) is passed on by the parser as
// the three bytes ED B0..BF 80..BF. Raw text of that shape fails the parser's UTF-8 check,
// so finding it here means an escape made it.
bool has_lone_surrogate(std::string_view s) noexcept {
  // Names are short: a plain loop beats a call to memchr.
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (static_cast<unsigned char>(s[i]) == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0) {
      return true;
    }
  }
  return false;
}

// One graph being built: from the root's "adj" member (a legacy document) or from its
// "graph" member (a versioned one). Which one counts is known only once the root closes.
struct Candidate {
  AdjacencyMap adj;
  bool present = false;   // the root had a "graph" member
  bool adj_seen = false;  // the graph object had an "adj" member
  Fault adj_fault;        // the fault of that member, or of a positional form's element
  Fault fault;            // the fault of the whole graph value, once it is complete
};

// What the value that is starting stands for.
enum class Role : std::uint8_t {
  kRoot,
  kGraph,
  kVersion,
  kAdj,
  kNeighbours,
  kEdge,
  kField,
  kIgnored,
};

// The containers being converted, outermost first. Each kind is open at most once at a
// time, so its state lives in the builder.
enum class Frame : std::uint8_t {
  kRootObject,
  kGraphObject,
  kGraphArray,
  kAdjacency,
  kNeighbours,
  kEdgeObject,
  kEdgeArray,
};

enum class RootKey : std::uint8_t { kAdj, kGraph, kVersion, kOther };

// The parser's event handler: converts while it parses. Faults do not stop the parse,
// since a later syntax error outranks them and a duplicate key may yet replace the
// faulty value; each level keeps the faults of its keys and reports the smallest key's.
class GraphBuilder {
 public:
  bool Null() { return scalar(Scalar{}); }
  bool Bool(bool b) {
    Scalar v;
    v.kind = Scalar::Kind::kBool;
    v.b = b;
    return scalar(v);
  }
  // Numbers arrive as text (RawNumber); these complete the handler interface.
  bool Int(int n) { return Int64(n); }
  bool Uint(unsigned n) { return Uint64(n); }
  bool Int64(std::int64_t n) {
    Scalar v;
    v.kind = Scalar::Kind::kSigned;
    v.i = n;
    return scalar(v);
  }
  bool Uint64(std::uint64_t n) {
    Scalar v;
    v.kind = Scalar::Kind::kUnsigned;
    v.u = n;
    return scalar(v);
  }
  bool Double(double d) {
    Scalar v;
    v.kind = Scalar::Kind::kFloat;
    v.d = d;
    return scalar(v);
  }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    Scalar v;
    if (!classify_number({text, length}, v)) return stop("number out of range");
    return scalar(v);
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    Scalar v;
    v.kind = Scalar::Kind::kString;
    v.s = {text, length};
    if (has_lone_surrogate(v.s)) return stop("lone trailing surrogate in hex escape");
    return scalar(v);
  }
  bool StartObject() { return start(true); }
  bool StartArray() { return start(false); }
  bool EndObject(rapidjson::SizeType) { return end(); }
  bool EndArray(rapidjson::SizeType) { return end(); }
  bool Key(const char* text, rapidjson::SizeType length, bool) {
    const std::string_view key(text, length);
    if (has_lone_surrogate(key)) return stop("lone trailing surrogate in hex escape");
    if (skip_depth_ != 0) return true;
    switch (frames_.back()) {
      case Frame::kRootObject:
        root_key_ = key == "adj"       ? RootKey::kAdj
                    : key == "graph"   ? RootKey::kGraph
                    : key == "version" ? RootKey::kVersion
                                       : RootKey::kOther;
        break;
      case Frame::kGraphObject:
        graph_key_is_adj_ = key == "adj";
        break;
      case Frame::kAdjacency:
        concept_key_.assign(key);
        break;
      case Frame::kNeighbours:
        neighbour_key_.assign(key);
        break;
      case Frame::kEdgeObject:
        field_ = field_of_key(key);
        break;
      case Frame::kGraphArray:
      case Frame::kEdgeArray:
        break;  // arrays have no keys
    }
    return true;
  }

  /// Why the builder stopped the parse, when it did.
  const char* stop_reason() const noexcept { return stop_reason_; }

  /// The outcome once the whole document has parsed.
  std::variant<AdjacencyMap, Error> finish() {
    if (root_is_object_ && version_usable_) {
      if (version_ > 2) {
        return Error{
            ErrorKind::kTooNew, 0,
            "Graph v" + std::to_string(version_) + " is newer than engine v2. Please update."};
      }
      if (!versioned_.present) {
        return Error{ErrorKind::kParseGraph, 0,
                     "Failed to parse graph: invalid type: null, expected struct LeanMemoryGraph"};
      }
      if (versioned_.fault) {
        return Error{ErrorKind::kParseGraph, 0, "Failed to parse graph: " + *versioned_.fault};
      }
      return std::move(versioned_.adj);
    }
    if (root_fault_) {
      return Error{ErrorKind::kParseLegacy, 0, "Failed to parse legacy graph: " + *root_fault_};
    }
    return std::move(legacy_.adj);
  }

 private:
  bool stop(const char* reason) {
    stop_reason_ = reason;
    return false;
  }

  // The role of the value now starting, from the container it is in.
  Role begin_value() {
    if (frames_.empty()) return Role::kRoot;
    switch (frames_.back()) {
      case Frame::kRootObject:
        switch (root_key_) {
          case RootKey::kAdj:
            cand_ = &legacy_;
            return Role::kAdj;
          case RootKey::kGraph:
            return Role::kGraph;
          case RootKey::kVersion:
            return Role::kVersion;
          case RootKey::kOther:
            return Role::kIgnored;
        }
        return Role::kIgnored;
      case Frame::kGraphObject:
        return graph_key_is_adj_ ? Role::kAdj : Role::kIgnored;
      case Frame::kGraphArray:
        return graph_elements_++ == 0 ? Role::kAdj : Role::kIgnored;
      case Frame::kAdjacency:
        return Role::kNeighbours;
      case Frame::kNeighbours:
        return Role::kEdge;
      case Frame::kEdgeObject:
        return field_ == kUnknownField ? Role::kIgnored : Role::kField;
      case Frame::kEdgeArray:
        field_ = edge_elements_ < kFieldCount ? static_cast<Field>(edge_elements_) : kUnknownField;
        ++edge_elements_;
        return field_ == kUnknownField ? Role::kIgnored : Role::kField;
    }
    return Role::kIgnored;
  }

  bool scalar(const Scalar& v) {
    if (skip_depth_ != 0) return true;
    Fault fault;
    switch (begin_value()) {
      case Role::kRoot:
      case Role::kGraph:
        fault = invalid_type(describe(v), "struct LeanMemoryGraph");
        break;
      case Role::kAdj:
      case Role::kNeighbours:
        fault = invalid_type(describe(v), "a map");
        break;
      case Role::kEdge:
        fault = invalid_type(describe(v), "struct MemoryEdge");
        break;
      case Role::kField:
        fault = set_field(v);
        break;
      case Role::kVersion:
        version_usable_ = v.kind == Scalar::Kind::kUnsigned;
        version_ = v.u;
        break;
      case Role::kIgnored:
        break;
    }
    complete(std::move(fault));
    return true;
  }

  bool start(bool is_object) {
    if (depth_ == kMaxDepth) return stop("recursion limit exceeded");
    ++depth_;
    if (skip_depth_ != 0) {
      ++skip_depth_;
      return true;
    }
    const std::string_view found = is_object ? "map" : "sequence";
    switch (begin_value()) {
      case Role::kRoot:
        cand_ = &legacy_;
        if (is_object) {
          root_is_object_ = true;
          frames_.push_back(Frame::kRootObject);
        } else {
          start_graph_array();
        }
        return true;
      case Role::kGraph:
        cand_ = &versioned_;
        versioned_.adj = AdjacencyMap();
        versioned_.adj_seen = false;
        if (is_object) {
          graph_key_is_adj_ = false;
          frames_.push_back(Frame::kGraphObject);
        } else {
          start_graph_array();
        }
        return true;
      case Role::kAdj:
        if (!is_object) return skip(invalid_type(found, "a map"));
        // A repeated "adj" replaces the earlier one whole.
        if (cand_->adj.node_count() != 0) cand_->adj = AdjacencyMap();
        concept_faults_.clear();
        frames_.push_back(Frame::kAdjacency);
        return true;
      case Role::kNeighbours:
        if (!is_object) return skip(invalid_type(found, "a map"));
        // A repeated concept replaces its earlier entries.
        concept_id_ = cand_->adj.add_concept(concept_key_);
        cand_->adj.clear_concept(concept_id_);
        neighbour_faults_.clear();
        frames_.push_back(Frame::kNeighbours);
        return true;
      case Role::kEdge:
        reset_edge();
        frames_.push_back(is_object ? Frame::kEdgeObject : Frame::kEdgeArray);
        return true;
      case Role::kField:
        return skip(invalid_type(found, expected_of(field_)));
      case Role::kVersion:
        version_usable_ = false;
        return skip({});
      case Role::kIgnored:
        return skip({});
    }
    return true;
  }

  bool end() {
    --depth_;
    if (skip_depth_ != 0) {
      if (--skip_depth_ == 0) complete(std::move(skip_fault_));
      return true;
    }
    const Frame frame = frames_.back();
    frames_.pop_back();
    Fault fault;
    switch (frame) {
      case Frame::kRootObject:
        fault = graph_object_fault(legacy_);
        break;
      case Frame::kGraphObject:
        fault = graph_object_fault(*cand_);
        break;
      case Frame::kGraphArray:
        fault = graph_array_fault(*cand_);
        break;
      case Frame::kAdjacency:
        fault = first_fault(concept_faults_);
        break;
      case Frame::kNeighbours:
        fault = first_fault(neighbour_faults_);
        break;
      case Frame::kEdgeObject:
        fault = edge_object_fault();
        break;
      case Frame::kEdgeArray:
        fault = edge_array_fault();
        break;
    }
    complete(std::move(fault));
    return true;
  }

  // A value is complete: hand its fault (or success) to the container it sits in.
  void complete(Fault fault) {
    if (frames_.empty()) {
      root_fault_ = std::move(fault);
      return;
    }
    switch (frames_.back()) {
      case Frame::kRootObject:
        if (root_key_ == RootKey::kAdj) {
          legacy_.adj_seen = true;
          legacy_.adj_fault = std::move(fault);
        } else if (root_key_ == RootKey::kGraph) {
          versioned_.present = true;
          versioned_.fault = std::move(fault);
        }
        return;
      case Frame::kGraphObject:
        if (graph_key_is_adj_) {
          cand_->adj_seen = true;
          cand_->adj_fault = std::move(fault);
        }
        return;
      case Frame::kGraphArray:
        if (graph_elements_ == 1) cand_->adj_fault = std::move(fault);
        return;
      case Frame::kAdjacency:
        note(concept_faults_, concept_key_, std::move(fault));
        return;
      case Frame::kNeighbours:
        if (!fault) {
          edge_.project_id = project_;
          cand_->adj.put_entry(concept_id_, neighbour_key_, edge_);
        }
        note(neighbour_faults_, neighbour_key_, std::move(fault));
        return;
      case Frame::kEdgeObject:
        if (field_ != kUnknownField) {
          const auto bit = static_cast<std::uint16_t>(1U << field_);
          present_ |= bit;
          if (fault) {
            faulty_ |= bit;
            field_faults_[field_] = std::move(*fault);
          } else {
            faulty_ &= static_cast<std::uint16_t>(~bit);
          }
        }
        return;
      case Frame::kEdgeArray:
        // Elements are taken in order and the first bad one ends the conversion.
        if (fault && !edge_array_fault_) edge_array_fault_ = std::move(fault);
        return;
    }
  }

  bool skip(Fault fault) {
    skip_depth_ = 1;
    skip_fault_ = std::move(fault);
    return true;
  }

  void start_graph_array() {
    graph_elements_ = 0;
    cand_->adj_fault.reset();
    frames_.push_back(Frame::kGraphArray);
  }

  void reset_edge() {
    edge_ = store::EdgeValues{};
    project_.clear();
    present_ = 0;
    faulty_ = 0;
    edge_elements_ = 0;
    edge_array_fault_.reset();
  }

  Fault set_field(const Scalar& v) {
    switch (field_) {
      case kWeight:
        return take_f32(v, edge_.weight);
      case kDecayResistance:
        return take_f32(v, edge_.decay_resistance);
      case kSalience:
        return take_f32(v, edge_.salience);
      case kLatencyTier: {
        std::uint64_t n = 0;
        Fault fault = take_unsigned(v, UINT8_MAX, "u8", n);
        edge_.latency_tier = static_cast<std::uint8_t>(n);
        return fault;
      }
      case kRetrievalCount:
      case kUsefulCount: {
        std::uint64_t n = 0;
        Fault fault = take_unsigned(v, UINT32_MAX, "u32", n);
        (field_ == kRetrievalCount ? edge_.retrieval_count : edge_.useful_count) =
            static_cast<std::uint32_t>(n);
        return fault;
      }
      case kLastStrengthened:
        return take_unsigned(v, UINT64_MAX, "u64", edge_.last_strengthened);
      case kCreatedAt:
        return take_unsigned(v, UINT64_MAX, "u64", edge_.created_at);
      case kIsLandmark:
        if (v.kind != Scalar::Kind::kBool) return invalid_type(describe(v), "a boolean");
        edge_.is_landmark = v.b;
        return {};
      case kProjectId:
        if (v.kind != Scalar::Kind::kString) return invalid_type(describe(v), "a string");
        project_.assign(v.s);
        return {};
      default:
        return {};
    }
  }

  // Any number, rounded to the nearest float once. null is read as NaN: the writer puts
  // null for a value with no JSON form, and every saved graph must load again.
  static Fault take_f32(const Scalar& v, float& out) {
    switch (v.kind) {
      case Scalar::Kind::kNull:
        out = std::numeric_limits<float>::quiet_NaN();
        return {};
      case Scalar::Kind::kUnsigned:
        out = static_cast<float>(v.u);
        return {};
      case Scalar::Kind::kSigned:
        out = static_cast<float>(v.i);
        return {};
      case Scalar::Kind::kFloat:
        out = store::narrow_to_f32(v.d);
        return {};
      default:
        return invalid_type(describe(v), "f32");
    }
  }

  static Fault take_unsigned(const Scalar& v, std::uint64_t max, std::string_view type,
                             std::uint64_t& out) {
    switch (v.kind) {
      case Scalar::Kind::kUnsigned:
        if (v.u > max) return invalid_value(v.u, type);
        out = v.u;
        return {};
      case Scalar::Kind::kSigned:
        return invalid_value(v.i, type);
      default:
        return invalid_type(describe(v), type);
    }
  }

  static Fault graph_object_fault(Candidate& c) {
    if (!c.adj_seen) return std::string("missing field `adj`");
    return std::move(c.adj_fault);
  }

  Fault graph_array_fault(Candidate& c) {
    if (c.adj_fault) return std::move(c.adj_fault);
    if (graph_elements_ == 0) {
      return std::string("invalid length 0, expected struct LeanMemoryGraph with 1 element");
    }
    if (graph_elements_ > 1) return too_long(graph_elements_);
    return {};
  }

  Fault edge_object_fault() {
    if (faulty_ != 0) {
      for (const Field f : kFieldsByKey) {
        if (faulty_ & (1U << f)) return std::move(field_faults_[f]);
      }
    }
    for (unsigned f = 0; f < kRequiredFields; ++f) {
      if (!(present_ & (1U << f))) return "missing field `" + std::string(kFieldKeys[f]) + "`";
    }
    return {};
  }

  Fault edge_array_fault() {
    if (edge_array_fault_) return std::move(edge_array_fault_);
    if (edge_elements_ < kRequiredFields) {
      return "invalid length " + std::to_string(edge_elements_) +
             ", expected struct MemoryEdge with 10 elements";
    }
    if (edge_elements_ > kFieldCount) return too_long(edge_elements_);
    return {};
  }

  static Fault too_long(std::uint64_t n) {
    return "invalid length " + std::to_string(n) + ", expected fewer elements in array";
  }

  using FaultsByKey = std::map<std::string, std::string, std::less<>>;

  // Records the outcome of one member; a repeated key replaces its earlier outcome.
  static void note(FaultsByKey& faults, const std::string& key, Fault fault) {
    if (fault) {
      faults.insert_or_assign(key, std::move(*fault));
    } else if (!faults.empty()) {
      faults.erase(key);
    }
  }

  static Fault first_fault(FaultsByKey& faults) {
    if (faults.empty()) return {};
    Fault first = std::move(faults.begin()->second);
    faults.clear();
    return first;
  }

  std::vector<Frame> frames_;
  unsigned depth_ = 0;
  unsigned skip_depth_ = 0;  // > 0 inside a value nobody converts
  Fault skip_fault_;         // the fault that value gets once it closes
  const char* stop_reason_ = nullptr;

  Candidate legacy_;
  Candidate versioned_;
  Candidate* cand_ = &legacy_;  // the graph now being built
  bool root_is_object_ = false;
  Fault root_fault_;
  RootKey root_key_ = RootKey::kOther;
  bool version_usable_ = false;
  std::uint64_t version_ = 0;
  bool graph_key_is_adj_ = false;
  std::uint64_t graph_elements_ = 0;

  std::string concept_key_;
  FaultsByKey concept_faults_;
  store::NameId concept_id_ = store::kNoName;
  std::string neighbour_key_;
  FaultsByKey neighbour_faults_;

  store::EdgeValues edge_;
  std::string project_;
  Field field_ = kUnknownField;
  std::uint16_t present_ = 0;
  std::uint16_t faulty_ = 0;
  std::array<std::string, kFieldCount> field_faults_;
  std::uint64_t edge_elements_ = 0;
  Fault edge_array_fault_;
};

Error load_error(std::string detail) {
  return Error{ErrorKind::kLoad, 0, "Failed to load graph: " + detail};
}

std::string syntax_fault(const PieceStream& in, rapidjson::ParseErrorCode code, std::size_t offset,
                         const char* stop_reason) {
  using namespace rapidjson;
  // The parser sees the end of input where it stands; a NUL byte looks the same to it.
  const bool at_end = in.at_end() && offset == in.Tell();
  const bool control_here =
      !in.at_end() && offset == in.Tell() && static_cast<unsigned char>(in.Peek()) < 0x20;
  switch (code) {
    case kParseErrorDocumentEmpty:
    case kParseErrorValueInvalid:
      return at_end ? "EOF while parsing a value" : "expected value";
    case kParseErrorDocumentRootNotSingular:
      return "trailing characters";
    case kParseErrorObjectMissName:
      return at_end ? "EOF while parsing an object" : "key must be a string";
    case kParseErrorObjectMissColon:
      return at_end ? "EOF while parsing an object" : "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return at_end ? "EOF while parsing an object" : "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return at_end ? "EOF while parsing a list" : "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return at_end ? "EOF while parsing a string" : "invalid escape";
    case kParseErrorStringUnicodeSurrogateInvalid:
      return "lone leading surrogate in hex escape";
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringMissQuotationMark:
      if (at_end) return "EOF while parsing a string";
      return control_here ? "control character (\\u0000-\\u001F) found while parsing a string"
                          : "invalid escape";
    case kParseErrorStringInvalidEncoding:
      return "invalid UTF-8 in string";
    case kParseErrorNumberTooBig:
      return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return "invalid number";
    case kParseErrorTermination:
      return stop_reason ? stop_reason : "syntax error";
    default:
      return "syntax error";
  }
}

Error syntax_error(const PieceStream& in, std::string fault, std::size_t offset) {
  const auto [line, column] = in.position_of(offset);
  return load_error(fault + " at line " + std::to_string(line) + " column " +
                    std::to_string(column));
}

}  // namespace

std::variant<AdjacencyMap, Error> read_document(ByteSource& source) {
  // Numbers come as text so that integers and floats are told apart by how they are
  // written, and floats are rounded once, correctly, by from_chars.
  constexpr unsigned kFlags =
      rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
      rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
  PieceStream in(source);
  GraphBuilder builder;
  rapidjson::Reader reader;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(in, builder);
  if (source.error() != 0) return load_error(os_error_text(source.error()));
  if (result.IsError()) {
    return syntax_error(in, syntax_fault(in, result.Code(), result.Offset(), builder.stop_reason()),
                        result.Offset());
  }
  // The parser stops after the value: only blanks may follow, and a NUL byte is no blank.
  for (char c = in.Peek(); c == ' ' || c == '\t' || c == '\n' || c == '\r'; c = in.Peek()) {
    in.Take();
  }
  if (source.error() != 0) return load_error(os_error_text(source.error()));
  if (!in.at_end()) return syntax_error(in, "trailing characters", in.Tell());
  return builder.finish();
}

}  // namespace recall_mesh::persist
