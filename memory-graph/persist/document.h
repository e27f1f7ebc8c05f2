// The graph document: saving a store as canonical JSON, and loading one back.
// Persist layer: includes the store only; the binding calls it and turns an Error into
// the matching Python exception.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "store/adjacency_map.h"

namespace recall_mesh::persist {

enum class ErrorKind {
  kOpen,         // the file could not be opened; os_errno says why
  kNulInPath,    // the path holds a NUL byte
  kLoad,         // "Failed to load graph: ..."
  kTooNew,       // "Graph v<v> is newer than engine v2. Please update."
  kParseGraph,   // "Failed to parse graph: ..."
  kParseLegacy,  // "Failed to parse legacy graph: ..."
  kSave,         // "Failed to save graph: ..."
  kSerialize,    // "Failed to serialize: ..."
};

struct Error {
  ErrorKind kind;
  int os_errno = 0;  // for kOpen
  std::string
      message;  // the exception's whole message, e.g. "No such file or directory (os error 2)"
};

/// Writes the canonical document to `path`. The previous file survives any failure.
std::optional<Error> save_to_json(const store::AdjacencyMap& adj, std::string_view path);

/// The canonical document as text.
std::string to_json_str(const store::AdjacencyMap& adj);

/// Reads a current or legacy document from `path` into a new store.
std::variant<store::AdjacencyMap, Error> load_from_json(std::string_view path);

}  // namespace recall_mesh::persist
