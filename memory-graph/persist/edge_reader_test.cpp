#include "document_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "document_writer.h"

#include "reader_test_support.h"
#include "store/graph_ops.h"

namespace recall_mesh::persist {
namespace {

using reader_test::EdgeJson;
using reader_test::kind_of;
using reader_test::load;
using reader_test::outcome;
using reader_test::versioned;
using store::AdjacencyMap;

TEST(DocumentReader, ConversionFailuresOfEdgeFields) {
  struct Case {
    EdgeJson edge;
    const char* detail;
  };
  const Case cases[] = {
      {EdgeJson().erase("weight"), "missing field `weight`"},
      {EdgeJson().erase("latency_tier").erase("project_id"), "missing field `latency_tier`"},
      {EdgeJson().erase("decay_resistance"), "missing field `decay_resistance`"},
      {EdgeJson().erase("project_id"), "missing field `project_id`"},
      {EdgeJson().erase("last_strengthened"), "missing field `last_strengthened`"},
      {EdgeJson().set("latency_tier", "256"), "invalid value: integer `256`, expected u8"},
      {EdgeJson().set("latency_tier", "-1"), "invalid value: integer `-1`, expected u8"},
      {EdgeJson().set("latency_tier", "1.0"), "invalid type: floating point `1.0`, expected u8"},
      {EdgeJson().set("latency_tier", "-0"), "invalid type: floating point `-0.0`, expected u8"},
      {EdgeJson().set("latency_tier", "1e2"), "invalid type: floating point `100.0`, expected u8"},
      {EdgeJson().set("retrieval_count", "1.0"),
       "invalid type: floating point `1.0`, expected u32"},
      {EdgeJson().set("useful_count", "4294967296"),
       "invalid value: integer `4294967296`, expected u32"},
      {EdgeJson().set("created_at", "18446744073709551616"),
       "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
      {EdgeJson().set("last_strengthened", "-9223372036854775808"),
       "invalid value: integer `-9223372036854775808`, expected u64"},
      {EdgeJson().set("created_at", "\"5\""), "invalid type: string \"5\", expected u64"},
      {EdgeJson().set("created_at", "[]"), "invalid type: sequence, expected u64"},
      {EdgeJson().set("is_landmark", "1"), "invalid type: integer `1`, expected a boolean"},
      {EdgeJson().set("is_landmark", "null"), "invalid type: null, expected a boolean"},
      {EdgeJson().set("project_id", "5"), "invalid type: integer `5`, expected a string"},
      {EdgeJson().set("project_id", "{\"a\":[1]}"), "invalid type: map, expected a string"},
      {EdgeJson().set("weight", "\"x\""), "invalid type: string \"x\", expected f32"},
      {EdgeJson().set("salience", "true"), "invalid type: boolean `true`, expected f32"},
      {EdgeJson().set("decay_resistance", "{}"), "invalid type: map, expected f32"},
      // A wrongly typed member comes before a missing one, the smallest key first.
      {EdgeJson().erase("weight").set("useful_count", "true"),
       "invalid type: boolean `true`, expected u32"},
      {EdgeJson().set("weight", "\"w\"").set("created_at", "\"c\""),
       "invalid type: string \"c\", expected u64"},
      {EdgeJson().set("weight", "\"w\"").set("salience", "\"s\""),
       "invalid type: string \"s\", expected f32"},
      // A repeated member keeps its last value, fault or not.
      {EdgeJson().set("weight", "\"w\",\"weight\":1"), nullptr},
      {EdgeJson().set("weight", "1,\"weight\":null,\"weight\":\"w\""),
       "invalid type: string \"w\", expected f32"},
  };
  for (const Case& c : cases) {
    const std::string doc = c.edge.doc();
    if (c.detail == nullptr) {
      EXPECT_EQ(kind_of(doc), ErrorKind::kOpen) << doc;  // loads
      continue;
    }
    EXPECT_EQ(outcome(doc), std::string("Failed to parse graph: ") + c.detail) << doc;
  }
}

TEST(DocumentReader, FieldValuesAndDefaults) {
  AdjacencyMap adj = load(EdgeJson()
                              .erase("salience")
                              .erase("created_at")
                              .erase("is_landmark")
                              .erase("retrieval_count")
                              .erase("useful_count")
                              .set("weight", "1")
                              .set("extra", R"([{"x":[1,2]},null])")
                              .doc());
  const store::MemoryEdge* e = adj.find_edge("a", "b");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->weight, 1.0f);
  EXPECT_EQ(e->salience, 0.5f);
  EXPECT_EQ(e->created_at, 0u);
  EXPECT_FALSE(e->is_landmark);
  EXPECT_EQ(e->retrieval_count, 0u);
  EXPECT_EQ(e->useful_count, 0u);
  EXPECT_EQ(e->latency_tier, 3);
  EXPECT_EQ(e->decay_resistance, 1.5f);
  EXPECT_EQ(adj.name(e->project_id), "p");
  EXPECT_EQ(e->last_strengthened, 2u);

  struct Float {
    const char* json;
    float value;
  };
  const Float floats[] = {
      {"0.1", 0.1f},
      {"-7", -7.0f},
      {"16777217", 16777216.0f},
      {"18446744073709551615", 18446744073709551615.0f},
      {"-9223372036854775808", -9223372036854775808.0f},
      {"1e39", INFINITY},
      {"-1e39", -INFINITY},
      {"3.4028235e38", std::numeric_limits<float>::max()},
      {"3.4028235677973366e38", INFINITY},  // halfway past the largest float: ties to even
      {"1e-50", 0.0f},
      {"-1e-400", -0.0f},
      {"1.401298464324817e-45", std::numeric_limits<float>::denorm_min()},
  };
  for (const Float& f : floats) {
    AdjacencyMap g = load(EdgeJson().set("weight", f.json).doc());
    const store::MemoryEdge* w = g.find_edge("a", "b");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(w->weight), std::bit_cast<std::uint32_t>(f.value))
        << f.json;
  }
  // null, which the writer puts for values without a JSON form, loads as NaN.
  AdjacencyMap nan = load(EdgeJson().set("weight", "null").set("salience", "null").doc());
  EXPECT_TRUE(std::isnan(nan.find_edge("a", "b")->weight));
  EXPECT_TRUE(std::isnan(nan.find_edge("a", "b")->salience));
}

TEST(DocumentReader, PositionalEdges) {
  const std::string five = R"([0.5,1,2.0,"p",7])";
  AdjacencyMap adj = load(versioned(R"({"a":{"b":)" + five + "}}"));
  const store::MemoryEdge* e = adj.find_edge("a", "b");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->weight, 0.5f);
  EXPECT_EQ(e->latency_tier, 1);
  EXPECT_EQ(e->decay_resistance, 2.0f);
  EXPECT_EQ(e->last_strengthened, 7u);
  EXPECT_EQ(e->salience, 0.5f);

  const std::string ten = R"([0.5,1,2.0,"p",7,8,true,0.25,9,10])";
  adj = load(versioned(R"({"a":{"b":)" + ten + "}}"));
  e = adj.find_edge("a", "b");
  EXPECT_EQ(e->created_at, 8u);
  EXPECT_TRUE(e->is_landmark);
  EXPECT_EQ(e->salience, 0.25f);
  EXPECT_EQ(e->retrieval_count, 9u);
  EXPECT_EQ(e->useful_count, 10u);

  struct Case {
    const char* edge;
    const char* detail;
  };
  const Case cases[] = {
      {"[]", "invalid length 0, expected struct MemoryEdge with 10 elements"},
      {R"([0.5,1,2.0,"p"])", "invalid length 4, expected struct MemoryEdge with 10 elements"},
      {R"([0.5,1,2.0,"p",7,8,true,0.25,9,10,11])",
       "invalid length 11, expected fewer elements in array"},
      {R"([0.5,1,2.0,5])", "invalid type: integer `5`, expected a string"},
      {R"([0.5,1.5,2.0,5])", "invalid type: floating point `1.5`, expected u8"},
      {R"([0.5,1,2.0,"p",7,8,true,0.25,9,-10,11])", "invalid value: integer `-10`, expected u32"},
      {"5", "invalid type: integer `5`, expected struct MemoryEdge"},
      {"null", "invalid type: null, expected struct MemoryEdge"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(versioned(std::string(R"({"a":{"b":)") + c.edge + "}}")),
              std::string("Failed to parse graph: ") + c.detail)
        << c.edge;
  }
}

TEST(DocumentReader, SmallestKeyFaultIsReported) {
  const std::string bad_weight = EdgeJson().set("weight", "\"w\"").str();
  const std::string good = EdgeJson().str();
  struct Case {
    std::string adj;
    const char* detail;  // nullptr: loads
  };
  const Case cases[] = {
      {R"({"b":5,"a":{"x":5}})", "invalid type: integer `5`, expected struct MemoryEdge"},
      {R"({"b":{"y":5},"a":{"z":)" + good + R"(,"x":null}})",
       "invalid type: null, expected struct MemoryEdge"},
      {R"({"a":{"y":)" + bad_weight + R"(,"x":{}}})", "missing field `weight`"},
      {R"({"\u00e9":5,"z":[]})", "invalid type: sequence, expected a map"},
      {R"({"B":5,"a":[]})", "invalid type: integer `5`, expected a map"},
      // A later value of the same key replaces the fault with its own outcome.
      {R"({"b":5,"a":5,"a":{}})", "invalid type: integer `5`, expected a map"},
      {R"({"a":5,"a":{}})", nullptr},
      {R"({"a":{"x":5,"x":)" + good + "}}", nullptr},
      {R"({"a":{"x":)" + good + R"(,"x":5}})",
       "invalid type: integer `5`, expected struct MemoryEdge"},
      {R"({"a":{},"a":[]})", "invalid type: sequence, expected a map"},
  };
  for (const Case& c : cases) {
    const std::string doc = versioned(c.adj);
    if (c.detail == nullptr) {
      EXPECT_EQ(kind_of(doc), ErrorKind::kOpen) << doc;
      continue;
    }
    EXPECT_EQ(outcome(doc), std::string("Failed to parse graph: ") + c.detail) << c.adj;
  }
}

TEST(DocumentReader, RepeatedKeysKeepTheLastValue) {
  const std::string e1 = EdgeJson().set("weight", "0.25").str();
  const std::string e2 = EdgeJson().set("weight", "0.5").str();
  AdjacencyMap adj = load(versioned(R"({"a":{"x":)" + e1 + R"(,"y":)" + e1 + R"(},"a":{"x":)" + e2 +
                                    R"(,"x":)" + e1 + "}}"));
  EXPECT_EQ(adj.node_count(), 1u);
  EXPECT_EQ(adj.edge_count(), 1u) << "a repeated concept replaces its entries";
  EXPECT_EQ(adj.find_edge("a", "x")->weight, 0.25f);
  EXPECT_EQ(adj.find_edge("a", "y"), nullptr);
}

TEST(DocumentReader, EscapedNames) {
  AdjacencyMap adj =
      load(versioned(R"({"\u00e9\ud83d\ude00":{},"a\u0000b":{},"\"\\\/\b\f\n\r\t":{}})"));
  EXPECT_NE(adj.find_concept("\xc3\xa9\xf0\x9f\x98\x80"), nullptr);
  EXPECT_NE(adj.find_concept(std::string_view("a\0b", 3)), nullptr);
  EXPECT_NE(adj.find_concept("\"\\/\b\f\n\r\t"), nullptr);
  EXPECT_EQ(adj.node_count(), 3u);
}

// Names with every kind of byte, and floats from every part of the range.
AdjacencyMap random_graph(std::mt19937& rng, int entries) {
  const auto name = [&] {
    std::string s;
    const int n = static_cast<int>(rng() % 6);
    for (int i = 0; i < n; ++i) {
      switch (rng() % 4) {
        case 0:
          s += static_cast<char>('a' + rng() % 3);
          break;
        case 1:
          s += static_cast<char>(rng() % 0x20);
          break;
        case 2:
          s += "\"\\";
          break;
        default:
          s += "\xc3\xa9";
      }
    }
    return s;
  };
  const auto any_float = [&] {
    float f;
    do {
      f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    } while (!std::isfinite(f));
    return f;
  };
  AdjacencyMap adj;
  for (int i = 0; i < entries; ++i) {
    store::EdgeValues v;
    v.weight = any_float();
    v.decay_resistance = any_float();
    v.salience = any_float();
    v.latency_tier = static_cast<std::uint8_t>(rng());
    const std::string project = name();
    v.project_id = project;
    v.last_strengthened = (static_cast<std::uint64_t>(rng()) << 32) | rng();
    v.created_at = rng() % 2 ? UINT64_MAX : rng();
    v.is_landmark = rng() % 2;
    v.retrieval_count = static_cast<std::uint32_t>(rng());
    v.useful_count = static_cast<std::uint32_t>(rng());
    adj.put_entry(adj.add_concept(name()), name(), v);
  }
  adj.add_concept("lonely");
  return adj;
}

TEST(DocumentReader, RoundTripsAreExact) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    const AdjacencyMap adj = random_graph(rng, 200);
    const std::string text = document_text(adj);
    EXPECT_LE(text.size(), document_size_bound(adj));
    EXPECT_EQ(outcome(text), text);
    const AdjacencyMap back = load(text);
    EXPECT_EQ(back.node_count(), adj.node_count());
    EXPECT_EQ(back.edge_count(), adj.edge_count());
    adj.for_each_concept([&](store::NameId id, const store::NeighbourMap& map) {
      for (const store::MemoryEdge& e : map.entries()) {
        const store::MemoryEdge* b =
            const_cast<AdjacencyMap&>(back).find_edge(adj.name(id), adj.name(e.neighbour));
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(b->weight), std::bit_cast<std::uint32_t>(e.weight));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(b->salience),
                  std::bit_cast<std::uint32_t>(e.salience));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(b->decay_resistance),
                  std::bit_cast<std::uint32_t>(e.decay_resistance));
        EXPECT_EQ(back.name(b->project_id), adj.name(e.project_id));
        EXPECT_EQ(b->last_strengthened, e.last_strengthened);
        EXPECT_EQ(b->created_at, e.created_at);
        EXPECT_EQ(b->latency_tier, e.latency_tier);
        EXPECT_EQ(b->is_landmark, e.is_landmark);
        EXPECT_EQ(b->retrieval_count, e.retrieval_count);
        EXPECT_EQ(b->useful_count, e.useful_count);
      }
    });
  }
}

TEST(DocumentReader, EveryFiniteFloatReturnsBitForBit) {
  AdjacencyMap adj;
  const store::NameId c = adj.add_concept("c");
  std::vector<std::uint32_t> patterns;
  for (std::uint64_t bits = 0; bits <= 0xffffffffULL; bits += 4099) {
    const auto pattern = static_cast<std::uint32_t>(bits);
    if (!std::isfinite(std::bit_cast<float>(pattern))) continue;
    patterns.push_back(pattern);
  }
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    store::EdgeValues v;
    v.weight = std::bit_cast<float>(patterns[i]);
    v.project_id = "p";
    adj.put_entry(c, std::to_string(i), v);
  }
  const std::string text = document_text(adj);
  const AdjacencyMap back = load(text);
  ASSERT_EQ(back.edge_count(), patterns.size());
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    const store::MemoryEdge* e = const_cast<AdjacencyMap&>(back).find_edge("c", std::to_string(i));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(e->weight), patterns[i]);
  }
  EXPECT_EQ(document_text(back), text);
}

TEST(DocumentReader, NonFiniteValuesSaveAndLoadAgain) {
  AdjacencyMap adj;
  store::EdgeValues v;
  v.weight = std::numeric_limits<float>::quiet_NaN();
  v.salience = INFINITY;
  v.project_id = "p";
  adj.put_entry(adj.add_concept("a"), "b", v);
  const std::string text = document_text(adj);
  const AdjacencyMap back = load(text);
  EXPECT_TRUE(std::isnan(const_cast<AdjacencyMap&>(back).find_edge("a", "b")->salience));
  EXPECT_EQ(document_text(back), text);
}

}  // namespace
}  // namespace recall_mesh::persist
