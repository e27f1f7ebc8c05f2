// The reader's event handler: the parser's events converted into a new store as they
// arrive, without a tree of the document, with the document's rules for faults,
// duplicate keys and legacy forms. Private to the document reader. Persist layer only.
#pragma once

#include <cstddef>

// RapidJSON counts string lengths in 32 bits unless told otherwise, and would hand over a
// name of 4 GiB or more cut to its length modulo 2^32.
#define RAPIDJSON_NO_SIZETYPEDEFINE
namespace rapidjson {
using SizeType = std::size_t;
}  // namespace rapidjson
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "document_format.h"
#include "edge_builder.h"
#include "error.h"
#include "reader_values.h"
#include "store/adjacency_map.h"

namespace recall_mesh::persist {

// Arrays and objects may nest this deep; our own documents use five levels.
inline constexpr unsigned kMaxDepth = 128;

// One graph being built: from the root's "adj" member (a legacy document) or from its
// "graph" member (a versioned one). Which one counts is known only once the root closes.
struct Candidate {
  store::AdjacencyMap adj;
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
        edge_.key(key);
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
  std::variant<store::AdjacencyMap, Error> finish() {
    if (root_is_object_ && version_usable_) {
      if (version_ > kDocumentVersion) {
        return too_new_error(version_);
      }
      if (!versioned_.present) {
        return make_error(ErrorKind::kParseGraph,
                          "invalid type: null, expected struct LeanMemoryGraph");
      }
      if (versioned_.fault) {
        return make_error(ErrorKind::kParseGraph, *versioned_.fault);
      }
      return std::move(versioned_.adj);
    }
    if (root_fault_) {
      return make_error(ErrorKind::kParseLegacy, *root_fault_);
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
        return edge_.in_field() ? Role::kField : Role::kIgnored;
      case Frame::kEdgeArray:
        return edge_.element() ? Role::kField : Role::kIgnored;
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
        fault = edge_.set(v);
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
        versioned_.adj = store::AdjacencyMap();
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
        if (cand_->adj.node_count() != 0) cand_->adj = store::AdjacencyMap();
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
        edge_.reset();
        frames_.push_back(is_object ? Frame::kEdgeObject : Frame::kEdgeArray);
        return true;
      case Role::kField:
        return skip(edge_.container(found));
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
        fault = edge_.object_fault();
        break;
      case Frame::kEdgeArray:
        fault = edge_.array_fault();
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
          cand_->adj.put_entry(concept_id_, neighbour_key_, edge_.values());
        }
        note(neighbour_faults_, neighbour_key_, std::move(fault));
        return;
      case Frame::kEdgeObject:
        edge_.member_done(std::move(fault));
        return;
      case Frame::kEdgeArray:
        // Elements are taken in order and the first bad one ends the conversion.
        edge_.element_done(std::move(fault));
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

  static Fault graph_object_fault(Candidate& c) {
    if (!c.adj_seen) return std::string("missing field `adj`");
    return std::move(c.adj_fault);
  }

  Fault graph_array_fault(Candidate& c) {
    if (c.adj_fault) return std::move(c.adj_fault);
    if (graph_elements_ == 0) {
      return std::string("invalid length 0, expected struct LeanMemoryGraph with 1 element");
    }
    if (graph_elements_ > 1) return EdgeBuilder::too_long(graph_elements_);
    return {};
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

  EdgeBuilder edge_;
};

}  // namespace recall_mesh::persist
