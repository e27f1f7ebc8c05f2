// The graph document: saving a store as canonical JSON, and loading one back.
// Persist layer: includes the store only; the binding calls it and turns an Error into
// the matching Python exception. The writer and reader behind these calls are in
// document_writer.h and document_reader.h; file replacement is in file_replace.h.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "error.h"
#include "store/adjacency_map.h"

namespace recall_mesh::persist {

/// Writes the canonical document to `path` (through any symlink) by way of a temporary
/// file renamed over it, so a failed or interrupted save leaves the previous file as it
/// was. Errors: kOpen or kNulInPath where opening `path` for writing would fail, kSave
/// when writing or flushing fails, kInterrupted when the host stops a blocked write or open
/// (interrupt.h). Non-finite floats are written as null.
std::optional<Error> save_to_json(const store::AdjacencyMap& adj, std::string_view path);

/// The canonical document as text. Fails by running out of memory (std::bad_alloc), or
/// with kInterrupted when the host's check stops it (interrupt.h).
std::variant<std::string, Error> to_json_str(const store::AdjacencyMap& adj);

/// The same text, for callers with no host to ask: never interrupted.
std::string document_text(const store::AdjacencyMap& adj);

/// Reads a current or legacy document from `path` into a new store; null in a float field
/// reads as NaN, so every saved graph loads. Errors: kOpen or kNulInPath when `path`
/// cannot be opened, then those of read_document (document_reader.h); kInterrupted when
/// the host stops a blocked open or read (interrupt.h).
std::variant<store::AdjacencyMap, Error> load_from_json(std::string_view path);

}  // namespace recall_mesh::persist
