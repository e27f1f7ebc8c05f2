// Helpers shared by the core's GoogleTests: numbered names and entries with exact fields.
// Included by *_test.cpp files only.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "adjacency_map.h"

namespace recall_mesh::store::test_support {

/// "<prefix><i>". Built by appending: operator+ on a temporary trips a false -Wrestrict
/// in GCC 12 at -O2 and above.
inline std::string numbered(const char* prefix, int i) {
  std::string name(prefix);
  name += std::to_string(i);
  return name;
}

/// Views of `names`, for the queries that take a list of names; valid while `names` is.
inline std::vector<std::string_view> views(const std::vector<std::string>& names) {
  return {names.begin(), names.end()};
}

/// Sets the entry from -> to to exactly `weight` (no association step), adding `from`.
inline void put(AdjacencyMap& adj, std::string_view from, std::string_view to,
                std::string_view project, float weight) {
  EdgeValues v;
  v.weight = weight;
  v.project_id = project;
  adj.put_entry(adj.add_concept(from), to, v);
}

/// Both directions of an association, each with exactly `weight`.
inline void link(AdjacencyMap& adj, std::string_view a, std::string_view b,
                 std::string_view project, float weight) {
  put(adj, a, b, project, weight);
  put(adj, b, a, project, weight);
}

}  // namespace recall_mesh::store::test_support
