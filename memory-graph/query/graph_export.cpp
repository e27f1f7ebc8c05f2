#include "graph_export.h"

// Placeholder until this query lands.
namespace recall_mesh::query {

GraphData get_graph_data(const store::AdjacencyMap&) {
  return {};
}

}  // namespace recall_mesh::query

namespace recall_mesh::query {

GraphData get_graph_data_for_project(const store::AdjacencyMap&, std::string_view) { return {}; }

}  // namespace recall_mesh::query
