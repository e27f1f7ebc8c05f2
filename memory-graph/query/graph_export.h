// The graph for display: every directed entry reduced to its weight, as plain tables the
// binding turns into nested dicts in one pass. Read-only. Query layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/adjacency_map.h"

namespace recall_mesh::query {

/// A snapshot of concept -> neighbour -> weight. Each distinct name is copied once into
/// `names`; rows and cells refer to names by position, so a caller can build one object
/// per name.
struct GraphData {
  struct Cell {
    std::uint32_t neighbour;  // position in names
    float weight;
  };
  struct Row {
    std::uint32_t concept_name;  // position in names
    std::uint32_t cell_count;    // one concept's entries, which a 32-bit count holds
    std::size_t first_cell;      // the graph's entries may outnumber a 32-bit count
  };
  std::vector<std::string> names;
  std::vector<Row> rows;
  std::vector<Cell> cells;
};

/// Every concept (an empty one as an empty row) with all its entries.
GraphData get_graph_data(const store::AdjacencyMap& adj);

/// The entries of `project_id` or "Global"; concepts without such an entry are left out.
GraphData get_graph_data_for_project(const store::AdjacencyMap& adj, std::string_view project_id);

}  // namespace recall_mesh::query
