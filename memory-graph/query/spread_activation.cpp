#include "spread_activation.h"

// Placeholder until this query lands.
namespace recall_mesh::query {

std::vector<Activation> spread_activation(store::AdjacencyMap&, std::span<const std::string>,
                                          std::string_view, std::uint64_t) {
  return {};
}

}  // namespace recall_mesh::query
