#include "clusters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "store/graph_ops.h"
#include "store/test_support.h"

namespace recall_mesh::query {
namespace {

using Names = std::vector<std::string>;

// Sets the entry from -> to to exactly `weight`, bypassing the association step's +0.2.
using store::test_support::link;
using store::test_support::put;
using store::test_support::views;

std::string nth(int i) {
  return store::test_support::numbered("n", i);
}

std::set<std::string> as_set(const Names& names) {
  return {names.begin(), names.end()};
}

std::multiset<std::set<std::string>> as_sets(const std::vector<Names>& clusters) {
  std::multiset<std::set<std::string>> out;
  for (const Names& c : clusters) out.insert(as_set(c));
  return out;
}

TEST(Clusters, EmptyGraph) {
  store::AdjacencyMap adj;
  EXPECT_TRUE(detect_clusters(adj, "p", 0.0f).empty());
  EXPECT_EQ(get_cluster_for_node(adj, "x", "p"), Names{"x"});
  const Names listed{"x", "y"};
  EXPECT_EQ(cluster_label(adj, views(listed)), "x");
  EXPECT_EQ(get_cluster_density(adj, views(listed), "p"), 0.0f);
}

TEST(Clusters, ThresholdIsInclusiveAndNaNNeverPasses) {
  store::AdjacencyMap adj;
  link(adj, "a", "b", "p", 0.5f);
  link(adj, "c", "d", "p", std::nanf(""));
  EXPECT_EQ(as_sets(detect_clusters(adj, "p", 0.5f)),
            (std::multiset<std::set<std::string>>{{"a", "b"}}));
  EXPECT_TRUE(detect_clusters(adj, "p", 0.6f).empty());
  EXPECT_TRUE(detect_clusters(adj, "p", std::nanf("")).empty());
  EXPECT_EQ(detect_clusters(adj, "p", -INFINITY).size(), 1u) << "a NaN weight passes nothing";
}

TEST(Clusters, ProjectFilterAndGlobal) {
  store::AdjacencyMap adj;
  link(adj, "a", "b", "Global", 0.5f);
  link(adj, "c", "d", "q", 0.5f);
  link(adj, "e", "f", "global", 0.5f);
  const auto global_only = std::multiset<std::set<std::string>>{{"a", "b"}};
  EXPECT_EQ(as_sets(detect_clusters(adj, "p", 0.1f)), global_only);
  EXPECT_EQ(as_sets(detect_clusters(adj, "Global", 0.1f)), global_only);
  EXPECT_EQ(as_sets(detect_clusters(adj, "q", 0.1f)),
            (std::multiset<std::set<std::string>>{{"a", "b"}, {"c", "d"}}));
  // "global" is a project id like any other: it sees its own entries and the shared ones.
  EXPECT_EQ(as_sets(detect_clusters(adj, "global", 0.1f)),
            (std::multiset<std::set<std::string>>{{"a", "b"}, {"e", "f"}}));
  EXPECT_EQ(detect_clusters(adj, "", 0.1f).size(), 1u);
}

TEST(Clusters, SelfLoopsAndSeparateComponents) {
  store::AdjacencyMap adj;
  put(adj, "solo", "solo", "p", 0.9f);
  link(adj, "a", "b", "p", 0.5f);
  link(adj, "c", "d", "p", 0.5f);
  link(adj, "a", "a", "p", 0.5f);
  EXPECT_EQ(as_sets(detect_clusters(adj, "p", 0.5f)),
            (std::multiset<std::set<std::string>>{{"a", "b"}, {"c", "d"}}));
}

TEST(Clusters, NamesComeInBreadthFirstOrderFromTheStart) {
  // A chain n0 - n1 - ... - n5 whose concepts are created in a scrambled order, so the
  // walk may start anywhere; along the walk the distance from the start never shrinks.
  store::AdjacencyMap adj;
  const int order[] = {3, 0, 5, 1, 4, 2};
  for (int i : order) adj.add_concept(nth(i));
  for (int i = 0; i < 5; ++i) {
    link(adj, nth(i), nth(i + 1), "p", 0.5f);
  }
  const auto clusters = detect_clusters(adj, "p", 0.5f);
  ASSERT_EQ(clusters.size(), 1u);
  const Names& c = clusters[0];
  ASSERT_EQ(c.size(), 6u);
  const auto pos = [](const std::string& n) { return std::stoi(n.substr(1)); };
  int last = 0;
  for (const std::string& n : c) {
    const int d = std::abs(pos(n) - pos(c[0]));
    EXPECT_GE(d, last) << n;
    last = d;
  }
}

TEST(Clusters, OneWayEntries) {
  store::AdjacencyMap adj;
  // y is a concept made before x whose own entries all fail: it starts no walk, so x's
  // walk still reaches it.
  put(adj, "y", "z", "p", 0.1f);
  put(adj, "x", "y", "p", 0.9f);
  // b is only ever a neighbour: reached, it has nothing to follow.
  put(adj, "a", "b", "p", 0.9f);
  EXPECT_EQ(as_sets(detect_clusters(adj, "p", 0.5f)),
            (std::multiset<std::set<std::string>>{{"x", "y"}, {"a", "b"}}));
  EXPECT_EQ(get_cluster_for_node(adj, "b", "p"), (Names{"a", "b"}));
  EXPECT_EQ(get_cluster_for_node(adj, "z", "p"), Names{"z"});
}

TEST(Clusters, EachConceptInOneClusterWhenEntriesPointInward) {
  // c1 -> hub and c2 -> hub pass, nothing leads back: whichever walk reaches the hub
  // first keeps it, and the other concept is left alone and dropped.
  store::AdjacencyMap adj;
  put(adj, "c1", "hub", "p", 0.9f);
  put(adj, "c2", "hub", "p", 0.9f);
  const auto clusters = detect_clusters(adj, "p", 0.5f);
  ASSERT_EQ(clusters.size(), 1u);
  EXPECT_EQ(clusters[0].size(), 2u);
  EXPECT_EQ(clusters[0][1], "hub");
}

TEST(Clusters, ClusterForNodeUsesTheFixedThreshold) {
  store::AdjacencyMap adj;
  link(adj, "a", "b", "p", 0.2f);
  link(adj, "c", "d", "p", std::nextafter(0.2f, 0.0f));
  link(adj, "b", "e", "p", 0.3f);
  EXPECT_EQ(as_set(get_cluster_for_node(adj, "e", "p")), (std::set<std::string>{"a", "b", "e"}));
  EXPECT_EQ(get_cluster_for_node(adj, "c", "p"), Names{"c"});
  EXPECT_EQ(get_cluster_for_node(adj, "a", "q"), Names{"a"});
  EXPECT_EQ(get_cluster_for_node(adj, "missing", "p"), Names{"missing"});
}

TEST(Clusters, ClusterForNodeAgreesWithDetectClusters) {
  // Random one-way and two-way entries across projects: every name's cluster is the
  // first detected cluster holding it, in the same order.
  std::mt19937 rng(7);
  store::AdjacencyMap adj;
  const char* projects[] = {"p", "q", "Global"};
  for (int i = 0; i < 300; ++i) {
    const std::string a = nth(static_cast<int>(rng() % 120));
    const std::string b = nth(static_cast<int>(rng() % 120));
    const float w = static_cast<float>(rng() % 100) / 100.0f;
    put(adj, a, b, projects[rng() % 3], w);
    if (rng() % 2) put(adj, b, a, projects[rng() % 3], w);
  }
  const auto clusters = detect_clusters(adj, "p", 0.2f);
  std::set<std::string> seen;
  for (const Names& c : clusters) {
    for (const std::string& n : c) EXPECT_TRUE(seen.insert(n).second) << n << " in two clusters";
  }
  for (int i = 0; i < 120; ++i) {
    const std::string n = nth(i);
    const auto it = std::find_if(clusters.begin(), clusters.end(), [&](const Names& c) {
      return std::find(c.begin(), c.end(), n) != c.end();
    });
    EXPECT_EQ(get_cluster_for_node(adj, n, "p"), it == clusters.end() ? Names{n} : *it) << n;
  }
}

TEST(Clusters, LabelPicksTheHeaviestEarliestName) {
  store::AdjacencyMap adj;
  put(adj, "a", "b", "p", 0.5f);
  put(adj, "a", "out", "q", 0.25f);  // other projects and outside names count
  put(adj, "b", "a", "Global", 0.75f);
  put(adj, "c", "x", "p", 0.75f);
  EXPECT_EQ(cluster_label(adj, views(Names{"b", "c"})), "b") << "ties go to the earliest";
  EXPECT_EQ(cluster_label(adj, views(Names{"c", "b"})), "c");
  EXPECT_EQ(cluster_label(adj, views(Names{"b", "a"})), "b");
  put(adj, "a", "more", "r", 0.0625f);
  EXPECT_EQ(cluster_label(adj, views(Names{"b", "a"})), "a");
  EXPECT_EQ(cluster_label(adj, views(Names{})), "");
  EXPECT_EQ(cluster_label(adj, views(Names{"ghost", "x"})), "ghost") << "0.0 beats the start of -1";
}

TEST(Clusters, LabelWithNaNAndNegativeTotals) {
  store::AdjacencyMap adj;
  put(adj, "nan", "x", "p", std::nanf(""));
  put(adj, "neg", "x", "p", -1.0f);
  put(adj, "low", "x", "p", -0.5f);
  EXPECT_EQ(cluster_label(adj, views(Names{"nan", "neg"})), "") << "no total beats -1";
  EXPECT_EQ(cluster_label(adj, views(Names{"nan", "neg", "low"})), "low");
  EXPECT_EQ(cluster_label(adj, views(Names{"low", "nan", "x"})), "x");
}

TEST(Clusters, LabelOfLongListsWithRepeats) {
  // Long lists sum each concept once; repeats must still lose ties to the first listing.
  store::AdjacencyMap adj;
  put(adj, "h", "x", "p", 0.5f);
  put(adj, "k", "x", "p", 0.5f);
  put(adj, "nan", "x", "p", std::nanf(""));
  Names names{"ghost", "k"};
  for (int i = 0; i < 100; ++i) names.insert(names.end(), {"h", "nan", "k", "ghost"});
  EXPECT_EQ(cluster_label(adj, views(names)), "k") << "h ties k and comes later";
  names.push_back("heavy");
  put(adj, "heavy", "x", "p", 0.75f);
  EXPECT_EQ(cluster_label(adj, views(names)), "heavy");
  put(adj, "k", "y", "p", 0.5f);
  EXPECT_EQ(cluster_label(adj, views(names)), "k");
}

TEST(Clusters, LabelSumsIn32BitFloatsInEntryOrder) {
  store::AdjacencyMap adj;
  // In 32 bits 1 + 2^-24 + 2^-24 stays 1; a wider sum would reach 1 + 2^-23.
  put(adj, "a", "x", "p", 1.0f);
  put(adj, "a", "y", "p", 0x1p-24f);
  put(adj, "a", "z", "p", 0x1p-24f);
  put(adj, "b", "x", "p", 1.0f);
  EXPECT_EQ(cluster_label(adj, views(Names{"b", "a"})), "b");
}

TEST(Clusters, DensityAveragesConnectedPairsOnly) {
  store::AdjacencyMap adj;
  link(adj, "a", "b", "p", 0.4f);
  link(adj, "b", "c", "p", 0.8f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a", "b", "c"}), "p"), (0.4f + 0.8f) / 2.0f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a", "b", "c", "ghost"}), "p"),
            (0.4f + 0.8f) / 2.0f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a"}), "p"), 0.0f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a", "c"}), "p"), 0.0f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a", "b"}), "q"), 0.0f);
  // A repeated name pairs with itself only through a self-association.
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a", "a"}), "p"), 0.0f);
  put(adj, "a", "a", "p", 0.1f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a", "a"}), "p"), 0.1f);
}

TEST(Clusters, DensityConsultsTheMirrorOnlyWhenNeeded) {
  store::AdjacencyMap adj;
  put(adj, "a", "b", "p", 0.3f);
  put(adj, "b", "a", "p", 0.9f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"a", "b"}), "p"), 0.3f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"b", "a"}), "p"), 0.9f);
  // The first entry of another project gives way to the mirror; a missing one too.
  put(adj, "c", "d", "q", 0.3f);
  put(adj, "d", "c", "Global", 0.9f);
  put(adj, "f", "e", "p", 0.5f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"c", "d"}), "p"), 0.9f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"c", "d"}), "q"), 0.3f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"e", "f"}), "p"), 0.5f);
  EXPECT_EQ(get_cluster_density(adj, views(Names{"c", "d"}), "r"), 0.9f);
}

TEST(Clusters, DensityOverLargeGroups) {
  // More names than fit inline: every consecutive pair of a 40-chain counts once.
  store::AdjacencyMap adj;
  Names chain;
  for (int i = 0; i < 40; ++i) chain.push_back(nth(i));
  for (std::size_t i = 0; i + 1 < 40; ++i) {
    link(adj, chain[i], chain[i + 1], "p", i % 2 ? 0.25f : 0.75f);
  }
  chain.push_back("ghost");
  float sum = 0.0f;
  for (int i = 0; i + 1 < 40; ++i) sum += i % 2 ? 0.25f : 0.75f;
  EXPECT_EQ(get_cluster_density(adj, views(chain), "p"), sum / 39.0f);
}

}  // namespace
}  // namespace recall_mesh::query
