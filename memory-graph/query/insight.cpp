#include "insight.h"

// Placeholder until this query lands.
namespace recall_mesh::query {

std::vector<std::pair<std::string, float>> get_concepts_for_insight(const store::AdjacencyMap&,
                                                                    std::span<const std::string>,
                                                                    std::string_view) {
  return {};
}

}  // namespace recall_mesh::query
