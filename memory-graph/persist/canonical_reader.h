// Reading a document in exactly the form this engine's writer gives it, fast: no whitespace
// inside it, members in byte order of their keys, every entry's ten members, the writer's
// escapes and number forms. Such a document is sorted by concept and then by neighbour, so each
// concept's entries are placed together and no key can repeat. Anything else is left to
// the general reader (document_reader.h), which judges every document; this one only
// ever gives the outcome the general reader would. Persist layer only.
#pragma once

#include <optional>
#include <variant>

#include "byte_source.h"
#include "error.h"
#include "store/adjacency_map.h"

namespace recall_mesh::persist {

/// Reads `source` when it holds a document in the writer's form. Returns nothing at the
/// first byte that departs from that form (a legacy document, inner whitespace, an unsorted or
/// unknown key, an escape or number the writer does not write, a value out of its
/// field's range, trailing bytes), having read part of the source: the caller starts it
/// again and reads it with the general reader. A failed read comes back as its error.
std::optional<std::variant<store::AdjacencyMap, Error>> read_canonical(ByteSource& source);

}  // namespace recall_mesh::persist
