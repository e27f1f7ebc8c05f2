// Placeholders until the persist layer lands.
#include "document.h"

namespace recall_mesh::persist {

std::optional<Error> save_to_json(const store::AdjacencyMap&, std::string_view) {
  return Error{ErrorKind::kSave, 0, "Failed to save graph: not built yet"};
}
std::string to_json_str(const store::AdjacencyMap&) {
  return "{\"graph\":{\"adj\":{}},\"version\":2}";
}
std::variant<store::AdjacencyMap, Error> load_from_json(std::string_view) {
  return Error{ErrorKind::kLoad, 0, "Failed to load graph: not built yet"};
}

}  // namespace recall_mesh::persist
