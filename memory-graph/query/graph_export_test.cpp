#include "graph_export.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "store/graph_ops.h"

namespace recall_mesh::query {
namespace {

using Table = std::map<std::string, std::map<std::string, float>>;

// Reads the snapshot back as nested maps, checking its own invariants on the way: every
// name is listed once, every position is in range, cells are covered by exactly one row.
Table read(const GraphData& data) {
  EXPECT_EQ(std::set<std::string>(data.names.begin(), data.names.end()).size(), data.names.size())
      << "a name is copied once";
  std::set<std::uint32_t> used;
  Table out;
  std::size_t next_cell = 0;
  for (const GraphData::Row& row : data.rows) {
    EXPECT_LT(row.concept_name, data.names.size());
    EXPECT_EQ(row.first_cell, next_cell) << "rows cover the cells in order";
    next_cell = row.first_cell + row.cell_count;
    used.insert(row.concept_name);
    auto [it, fresh] = out.try_emplace(data.names.at(row.concept_name));
    EXPECT_TRUE(fresh) << "one row per concept";
    for (std::size_t i = row.first_cell; i < next_cell; ++i) {
      const GraphData::Cell& cell = data.cells.at(i);
      used.insert(cell.neighbour);
      EXPECT_TRUE(it->second.emplace(data.names.at(cell.neighbour), cell.weight).second);
    }
  }
  EXPECT_EQ(next_cell, data.cells.size());
  EXPECT_EQ(used.size(), data.names.size()) << "no name is listed without use";
  return out;
}

TEST(GraphExport, EmptyGraph) {
  store::AdjacencyMap adj;
  for (const GraphData& d : {get_graph_data(adj), get_graph_data_for_project(adj, "p")}) {
    EXPECT_TRUE(d.names.empty());
    EXPECT_TRUE(d.rows.empty());
    EXPECT_TRUE(d.cells.empty());
  }
}

TEST(GraphExport, EveryEntryUnderItsSource) {
  store::AdjacencyMap adj;
  store::add_association(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  store::add_association(adj, "a", "a", "q", 0.1f, 0, 0.5f, false);
  store::strengthen_edge(adj, "b", "a", 10000);
  store::upsert_edge(adj, "c", "d", "r", 0.0f, 0, 0.5f, false);
  const Table all = read(get_graph_data(adj));
  EXPECT_EQ(all, (Table{{"a", {{"b", 0.7f}, {"a", 0.5f}}},
                        {"b", {{"a", 0.7f + 0.15f}}},
                        {"c", {{"d", 0.2f}}}}))
      << "both directions with their own weights; a one-way neighbour gets no row";
}

TEST(GraphExport, ConceptsWithoutEntries) {
  store::AdjacencyMap adj;
  store::add_association(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  adj.add_concept("lonely");
  EXPECT_EQ(read(get_graph_data(adj)),
            (Table{{"a", {{"b", 0.7f}}}, {"b", {{"a", 0.7f}}}, {"lonely", {}}}));
  EXPECT_EQ(read(get_graph_data_for_project(adj, "p")),
            (Table{{"a", {{"b", 0.7f}}}, {"b", {{"a", 0.7f}}}}));
}

TEST(GraphExport, ProjectExportFiltersEachEntry) {
  store::AdjacencyMap adj;
  store::add_association(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  store::add_association(adj, "a", "c", "Global", 0.5f, 0, 0.5f, false);
  store::upsert_edge(adj, "d", "e", "p", 0.5f, 0, 0.5f, false);
  store::upsert_edge(adj, "e", "d", "q", 0.5f, 0, 0.5f, false);
  store::upsert_edge(adj, "f", "g", "", 0.5f, 0, 0.5f, false);
  store::upsert_edge(adj, "h", "i", "global", 0.5f, 0, 0.5f, false);
  const float w = 0.7f;
  const Table shared{{"a", {{"c", w}}}, {"c", {{"a", w}}}};
  EXPECT_EQ(
      read(get_graph_data_for_project(adj, "p")),
      (Table{
          {"a", {{"b", w}, {"c", w}}}, {"b", {{"a", w}}}, {"c", {{"a", w}}}, {"d", {{"e", w}}}}));
  EXPECT_EQ(read(get_graph_data_for_project(adj, "q")),
            (Table{{"a", {{"c", w}}}, {"c", {{"a", w}}}, {"e", {{"d", w}}}}));
  EXPECT_EQ(read(get_graph_data_for_project(adj, "Global")), shared);
  EXPECT_EQ(read(get_graph_data_for_project(adj, "nobody")), shared);
  EXPECT_EQ(read(get_graph_data_for_project(adj, "")),
            (Table{{"a", {{"c", w}}}, {"c", {{"a", w}}}, {"f", {{"g", w}}}}));
  // "global" is an ordinary project id: its own entries plus the shared ones.
  EXPECT_EQ(read(get_graph_data_for_project(adj, "global")),
            (Table{{"a", {{"c", w}}}, {"c", {{"a", w}}}, {"h", {{"i", w}}}}));
}

TEST(GraphExport, SnapshotOutlivesTheGraph) {
  GraphData data;
  {
    store::AdjacencyMap adj;
    store::add_association(adj, "a", "a long name that is not inline", "p", 0.5f, 0, 0.5f, false);
    data = get_graph_data(adj);
    store::decay_and_prune(adj, 1.0f);
  }
  EXPECT_EQ(read(data), (Table{{"a", {{"a long name that is not inline", 0.7f}}},
                               {"a long name that is not inline", {{"a", 0.7f}}}}));
}

}  // namespace
}  // namespace recall_mesh::query
