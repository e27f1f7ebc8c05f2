// Reading the graph document: a strict streaming parse that builds the new store straight
// from the parser's events, without a tree of the document. Persist layer only;
// document.h wraps it for files.
#pragma once

#include <variant>

#include "byte_source.h"
#include "error.h"
#include "store/adjacency_map.h"

namespace recall_mesh::persist {

/// Reads one current or legacy document from `source` into a new store. Every failure
/// comes back as an Error of kind kLoad, kTooNew, kParseGraph or kParseLegacy with its
/// whole message; a failed read of the source is reported as itself (kLoad, or
/// kInterrupted for a read the host stopped), not as the syntax error it leads to.
std::variant<store::AdjacencyMap, Error> read_document(ByteSource& source);

}  // namespace recall_mesh::persist
