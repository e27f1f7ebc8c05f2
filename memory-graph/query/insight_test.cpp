#include "insight.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "store/test_support.h"

namespace recall_mesh::query {
namespace {

using Names = std::vector<std::string>;
using Found = std::map<std::string, float>;

using store::test_support::link;
using store::test_support::put;
using store::test_support::views;

// The result as a map, checking on the way that no neighbour is listed twice.
Found found(const store::AdjacencyMap& adj, const Names& group, std::string_view project) {
  Found out;
  for (const auto& [name, weight] : get_concepts_for_insight(adj, views(group), project)) {
    EXPECT_TRUE(out.emplace(name, weight).second) << name << " listed twice";
  }
  return out;
}

TEST(Insight, EmptyGroupsAndUnknownNames) {
  store::AdjacencyMap adj;
  EXPECT_TRUE(found(adj, Names{"a"}, "p").empty());
  link(adj, "a", "b", "p", 0.5f);
  EXPECT_TRUE(found(adj, Names{}, "p").empty());
  EXPECT_TRUE(found(adj, Names{"x", "y"}, "p").empty());
  // z is a known name but no concept: it has no entries of its own to follow.
  put(adj, "c", "z", "p", 0.5f);
  EXPECT_TRUE(found(adj, Names{"z"}, "p").empty()) << "only outgoing entries are read";
  EXPECT_EQ(found(adj, Names{"x", "a", "x"}, "p"), (Found{{"b", 0.5f}}));
}

TEST(Insight, StrongestWeightPerNeighbourOutsideTheGroup) {
  store::AdjacencyMap adj;
  link(adj, "m1", "n", "p", 0.3f);
  link(adj, "m2", "n", "p", 0.7f);
  link(adj, "m1", "m2", "p", 0.9f);
  put(adj, "m1", "m1", "p", 1.0f);
  link(adj, "m2", "zero", "p", 0.0f);
  const Found expected{{"n", 0.7f}, {"zero", 0.0f}};
  EXPECT_EQ(found(adj, Names{"m1", "m2"}, "p"), expected);
  EXPECT_EQ(found(adj, Names{"m2", "m1", "m2", "m1"}, "p"), expected);
  EXPECT_EQ(static_cast<double>(found(adj, Names{"m1", "m2"}, "p")["n"]), 0.699999988079071);
}

TEST(Insight, ProjectFilter) {
  store::AdjacencyMap adj;
  put(adj, "m", "n", "Global", 0.9f);
  put(adj, "m", "k", "p", 0.4f);
  put(adj, "m2", "n", "p", 0.4f);
  put(adj, "m", "far", "q", 1.0f);
  put(adj, "m", "empty", "", 0.2f);
  put(adj, "m", "lower", "global", 0.3f);
  EXPECT_EQ(found(adj, Names{"m", "m2"}, "p"), (Found{{"n", 0.9f}, {"k", 0.4f}}));
  EXPECT_EQ(found(adj, Names{"m"}, "Global"), (Found{{"n", 0.9f}}));
  EXPECT_EQ(found(adj, Names{"m"}, ""), (Found{{"n", 0.9f}, {"empty", 0.2f}}));
  EXPECT_EQ(found(adj, Names{"m"}, "global"), (Found{{"n", 0.9f}, {"lower", 0.3f}}));
  EXPECT_EQ(found(adj, Names{"m"}, "none"), (Found{{"n", 0.9f}}));
}

TEST(Insight, NaNNeverHidesANumber) {
  const float nan = std::nanf("");
  for (bool nan_first : {true, false}) {
    store::AdjacencyMap adj;
    link(adj, nan_first ? "m1" : "m2", "n", "p", nan);
    link(adj, nan_first ? "m2" : "m1", "n", "p", 0.25f);
    link(adj, "m1", "only_nan", "p", nan);
    link(adj, "m2", "only_nan", "p", nan);
    const Found got = found(adj, Names{"m1", "m2"}, "p");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got.at("n"), 0.25f) << "NaN first: " << nan_first;
    EXPECT_TRUE(std::isnan(got.at("only_nan")));
  }
}

TEST(Insight, LargeGroupsExcludeEveryMember) {
  // More members than fit inline, each linked to the next and to one outsider.
  store::AdjacencyMap adj;
  Names group;
  for (int i = 0; i < 50; ++i) group.push_back(std::string("m").append(std::to_string(i)));
  for (std::size_t i = 0; i < group.size(); ++i) {
    link(adj, group[i], group[(i + 1) % group.size()], "p", 0.5f);
    link(adj, group[i], "out", "p", static_cast<float>(i) / 64.0f);
  }
  EXPECT_EQ(found(adj, group, "p"), (Found{{"out", 49.0f / 64.0f}}));
}

}  // namespace
}  // namespace recall_mesh::query
