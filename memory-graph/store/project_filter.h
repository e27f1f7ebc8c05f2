// The project filter shared by every project-scoped query: an entry is visible to project
// p when its project id is p or "Global", byte for byte. Any layer may include it.
#pragma once

#include <string_view>

#include "adjacency_map.h"

namespace recall_mesh::store {

class ProjectFilter {
 public:
  /// Resolves the project once; valid while the store's names do not change.
  ProjectFilter(const AdjacencyMap& adj, std::string_view project_id) noexcept
      : project_(adj.find_name(project_id)), global_(adj.global_project_id()) {}

  bool passes(const MemoryEdge& e) const noexcept {
    // Entries always carry a live id, so a name that is not interned matches nothing.
    return e.project_id == project_ || e.project_id == global_;
  }

 private:
  NameId project_;
  NameId global_;
};

}  // namespace recall_mesh::store
