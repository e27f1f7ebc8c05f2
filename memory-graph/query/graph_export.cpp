#include "graph_export.h"

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "store/project_filter.h"

namespace recall_mesh::query {
namespace {

using store::AdjacencyMap;
using store::MemoryEdge;
using store::NameId;
using store::NeighbourMap;

constexpr std::uint32_t kUnplaced = 0xffffffffU;

// Builds a GraphData row by row, copying each distinct name once on first use.
class Builder {
 public:
  explicit Builder(const AdjacencyMap& adj) : adj_(adj), position_(adj.id_bound(), kUnplaced) {}

  void reserve(std::size_t rows, std::size_t cells) {
    data_.rows.reserve(rows);
    data_.cells.reserve(cells);
  }

  std::size_t cell_count() const noexcept { return data_.cells.size(); }

  void add_cell(const MemoryEdge& e) { data_.cells.push_back({place(e.neighbour), e.weight}); }

  // Closes the row of `concept_id` over the cells added since `first_cell`.
  void add_row(NameId concept_id, std::size_t first_cell) {
    data_.rows.push_back({place(concept_id),
                          static_cast<std::uint32_t>(data_.cells.size() - first_cell), first_cell});
  }

  GraphData take() { return std::move(data_); }

 private:
  std::uint32_t place(NameId id) {
    std::uint32_t& pos = position_[id];
    if (pos == kUnplaced) {
      pos = static_cast<std::uint32_t>(data_.names.size());
      data_.names.emplace_back(adj_.name(id));
    }
    return pos;
  }

  const AdjacencyMap& adj_;
  std::vector<std::uint32_t> position_;  // name id -> position in data_.names
  GraphData data_;
};

}  // namespace

GraphData get_graph_data(const AdjacencyMap& adj) {
  Builder out(adj);
  out.reserve(adj.node_count(), adj.edge_count());
  // Concepts with entries in the order their entries lie in memory, which streams.
  std::size_t rows = 0;
  adj.for_each_entry_block([&](NameId concept_id, std::span<const MemoryEdge> entries) {
    const std::size_t first = out.cell_count();
    for (const MemoryEdge& e : entries) out.add_cell(e);
    out.add_row(concept_id, first);
    ++rows;
  });
  // Every concept gets a row: one without entries (possible after a load) an empty one.
  if (rows < adj.node_count()) {
    adj.for_each_concept([&](NameId concept_id, const NeighbourMap& map) {
      if (map.empty()) out.add_row(concept_id, out.cell_count());
    });
  }
  return out.take();
}

GraphData get_graph_data_for_project(const AdjacencyMap& adj, std::string_view project_id) {
  Builder out(adj);
  const store::ProjectFilter filter(adj, project_id);
  // Each directed entry is judged alone; a concept without a visible entry gets no row.
  adj.for_each_entry_block([&](NameId concept_id, std::span<const MemoryEdge> entries) {
    const std::size_t first = out.cell_count();
    for (const MemoryEdge& e : entries) {
      if (filter.passes(e)) out.add_cell(e);
    }
    if (out.cell_count() != first) out.add_row(concept_id, first);
  });
  return out.take();
}

}  // namespace recall_mesh::query
