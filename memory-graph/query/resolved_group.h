// A listed group of names resolved once for a query: each name's id and neighbour map, in
// list order, with every map's first entries asked for before any is read, so the cache
// misses of a cold graph overlap instead of following one another. Query layer.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <numeric>
#include <span>
#include <string_view>
#include <vector>

#include "store/adjacency_map.h"

namespace recall_mesh::query {

class ResolvedGroup {
 public:
  /// Groups up to this size live on the stack: a typical group holds a handful of names,
  /// so what a call allocates never grows with the graph.
  static constexpr std::size_t kInline = 16;

  struct Member {
    store::NameId id;                // kNoName when the store lacks the name
    const store::NeighbourMap* map;  // nullptr when the name is not a concept
    bool repeat = false;             // set by mark_repeats()
  };

  ResolvedGroup(const store::AdjacencyMap& adj, std::span<const std::string_view> names)
      : members_(inline_.data(), std::min(names.size(), kInline)) {
    if (names.size() > kInline) {
      heap_.resize(names.size());
      members_ = heap_;
    }
    for (std::size_t i = 0; i < names.size(); ++i) members_[i].id = adj.find_name(names[i]);
    for (Member& m : members_) {
      m.map = adj.find_concept(m.id);
      if (m.map != nullptr) m.map->prefetch();
    }
  }
  // members_ may point into this object.
  ResolvedGroup(const ResolvedGroup&) = delete;
  ResolvedGroup& operator=(const ResolvedGroup&) = delete;

  std::span<const Member> members() const noexcept { return members_; }

  /// Marks each concept that an earlier member already names, for queries that work on
  /// each distinct concept once: a long list of one name then costs what the name given
  /// once does. Names the store lacks stay unmarked.
  void mark_repeats() {
    if (members_.size() <= kInline) {
      for (std::size_t i = 0; i < members_.size(); ++i) {
        for (std::size_t j = 0; j < i && members_[i].map && !members_[i].repeat; ++j) {
          members_[i].repeat = members_[j].id == members_[i].id;
        }
      }
      return;
    }
    // Positions by id, each id's in list order, so all but its first are repeats.
    std::vector<std::size_t> order(members_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return members_[a].id < members_[b].id; });
    for (std::size_t k = 1; k < order.size(); ++k) {
      Member& m = members_[order[k]];
      m.repeat = m.map != nullptr && m.id == members_[order[k - 1]].id;
    }
  }

 private:
  std::array<Member, kInline> inline_;
  std::vector<Member> heap_;
  std::span<Member> members_;
};

}  // namespace recall_mesh::query
