#include "document_writer.h"
#include "json_string.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "document.h"
#include "store/graph_ops.h"

namespace recall_mesh::persist {
namespace {

using store::AdjacencyMap;

constexpr const char* kExample =
    R"({"graph":{"adj":{"a":{"b":{"created_at":100,"decay_resistance":1.100000023841858,)"
    R"("is_landmark":false,"last_strengthened":0,"latency_tier":0,"project_id":"p",)"
    R"("retrieval_count":0,"salience":0.5,"useful_count":0,"weight":0.699999988079071}},)"
    R"("b":{"a":{"created_at":100,"decay_resistance":1.100000023841858,"is_landmark":false,)"
    R"("last_strengthened":0,"latency_tier":0,"project_id":"p","retrieval_count":0,)"
    R"("salience":0.5,"useful_count":0,"weight":0.699999988079071}}}},"version":2})";

// "c12" from "c" and 12, spelled out: GCC 12 warns falsely on a literal + std::to_string.
std::string numbered(const char* prefix, int i) {
  std::string s = prefix;
  return s.append(std::to_string(i));
}

// The document holding one concept named by `json` (a JSON string) without entries.
std::string one_concept(const std::string& json) {
  std::string text = R"({"graph":{"adj":{)";
  return text.append(json).append(R"(:{}}},"version":2})");
}

// The document of a store holding only concepts named `names`, each without entries.
std::string concepts_only(const std::vector<std::string>& names) {
  AdjacencyMap adj;
  for (const std::string& n : names) adj.add_concept(n);
  return document_text(adj);
}

TEST(DocumentWriter, EmptyGraphAndTheExample) {
  EXPECT_EQ(document_text(AdjacencyMap()), R"({"graph":{"adj":{}},"version":2})");
  AdjacencyMap adj;
  store::add_association(adj, "a", "b", "p", 0.5f, 100, 0.5f, false);
  EXPECT_EQ(document_text(adj), kExample);
}

TEST(DocumentWriter, KeysInByteOrder) {
  EXPECT_EQ(concepts_only({"ba", "a", "b", "Z", "\xc3\xa9", "", "~"}),
            R"({"graph":{"adj":{"":{},"Z":{},"a":{},"b":{},"ba":{},"~":{},"é":{}}},"version":2})");
  AdjacencyMap adj;
  for (const char* n : {"y", "X", "yy", "x"})
    store::upsert_edge(adj, "c", n, "p", 0.f, 0, 0.f, false);
  const std::string text = document_text(adj);
  const auto at = [&](std::string key) { return text.find(key.append(":{\"created")); };
  EXPECT_LT(at("\"X\""), at("\"x\""));
  EXPECT_LT(at("\"x\""), at("\"y\""));
  EXPECT_LT(at("\"y\""), at("\"yy\""));
}

TEST(DocumentWriter, KeysSharingTheirFirstBytesStayInByteOrder) {
  // Ties in the first eight bytes, a NUL against the end of a shorter name, and bytes
  // above 0x7f, which sort after every ASCII byte.
  std::vector<std::string> names = {"abcdefghb", "abcdefgh", "abcdefgha", "abcdefgh\x01",
                                    "ab",        "\x7f",     "\xff",      "abcdefgg\xff"};
  names.push_back(std::string("ab\0", 3));
  names.push_back(std::string("abcdefgh\0", 9));
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  std::string expected = R"({"graph":{"adj":{)";
  for (const std::string& n : sorted) {
    if (n != sorted.front()) expected += ',';
    append_json_string(expected, n);
    expected += ":{}";
  }
  EXPECT_EQ(concepts_only(names), expected + R"(}},"version":2})");

  AdjacencyMap adj;
  for (const std::string& n : names) store::upsert_edge(adj, "c", n, "p", 0.f, 0, 0.f, false);
  const std::string text = document_text(adj);
  std::size_t at = 0;
  for (const std::string& n : sorted) {
    std::string key;
    append_json_string(key, n);
    const std::size_t found = text.find(key + R"(:{"created_at")", at);
    ASSERT_NE(found, std::string::npos) << key;
    at = found + key.size();
  }
}

TEST(DocumentWriter, Escapes) {
  struct Case {
    std::string name;
    const char* json;
  };
  const Case cases[] = {
      {"q\"b\\s", R"("q\"b\\s")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"/\x7f", "\"/\x7f\""},
      {"\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xe2\x82\xac\xf0\x9f\x98\x80\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(concepts_only({c.name}), one_concept(c.json));
    // Error messages quote strings the same way, in a string sized to fit exactly.
    std::string quoted = "x";
    append_json_string(quoted, c.name);
    EXPECT_EQ(quoted, std::string("x") + c.json);
  }
}

TEST(DocumentWriter, LongNamesCrossTheBuffer) {
  // Longer than the piece escaped at once, and longer than the buffer once escaped.
  const std::string plain(20000, 'n');
  std::string controls(12000, '\x01');
  std::string expected_controls = "\"";
  for (int i = 0; i < 12000; ++i) expected_controls += "\\u0001";
  EXPECT_EQ(concepts_only({plain}), one_concept('"' + plain + '"'));
  EXPECT_EQ(concepts_only({controls}), one_concept(expected_controls + '"'));
}

TEST(DocumentWriter, SameTextWhateverTheInsertionOrder) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < 400; ++i) {
    pairs.emplace_back(numbered("c", i % 37), numbered("n", i * 7919 % 101));
  }
  std::string first;
  std::mt19937 rng(7);
  for (int round = 0; round < 4; ++round) {
    std::shuffle(pairs.begin(), pairs.end(), rng);
    AdjacencyMap adj;
    for (const auto& [a, b] : pairs) store::add_association(adj, a, b, "p", 0.3f, 5, 0.5f, false);
    const std::string text = document_text(adj);
    if (round == 0) first = text;
    EXPECT_EQ(text, first);
  }
}

TEST(DocumentWriter, NonFiniteFloatsAreNull) {
  AdjacencyMap adj;
  store::EdgeValues v;
  v.weight = std::nanf("");
  v.decay_resistance = INFINITY;
  v.salience = -INFINITY;
  v.project_id = "p";
  adj.put_entry(adj.add_concept("a"), "b", v);
  const std::string text = document_text(adj);
  EXPECT_NE(text.find(R"("decay_resistance":null)"), std::string::npos);
  EXPECT_NE(text.find(R"("salience":null)"), std::string::npos);
  EXPECT_NE(text.find(R"("weight":null)"), std::string::npos);
}

TEST(DocumentWriter, IntegersAtTheirLimits) {
  AdjacencyMap adj;
  store::EdgeValues v;
  v.latency_tier = 255;
  v.last_strengthened = UINT64_MAX;
  v.created_at = UINT64_MAX - 1;
  v.retrieval_count = UINT32_MAX;
  v.useful_count = 7;
  v.is_landmark = true;
  v.project_id = "";
  adj.put_entry(adj.add_concept("a"), "b", v);
  EXPECT_EQ(document_text(adj),
            R"({"graph":{"adj":{"a":{"b":{"created_at":18446744073709551614,)"
            R"("decay_resistance":1.0,"is_landmark":true,)"
            R"("last_strengthened":18446744073709551615,"latency_tier":255,"project_id":"",)"
            R"("retrieval_count":4294967295,"salience":0.5,"useful_count":7,"weight":0.0}}}},)"
            R"("version":2})");
}

// A sink that takes a few bytes and then refuses.
class FailingSink final : public ByteSink {
 public:
  bool write(const char*, std::size_t size) override {
    taken += size;
    return ++calls < 2;
  }
  std::size_t taken = 0;
  int calls = 0;
};

TEST(DocumentWriter, StopsWhenTheSinkRefuses) {
  AdjacencyMap adj;
  for (int i = 0; i < 2000; ++i) {
    store::add_association(adj, numbered("c", i), "d", "p", 0.5f, 1, 0.5f, false);
  }
  FailingSink sink;
  EXPECT_FALSE(write_document(adj, sink));
  EXPECT_EQ(sink.calls, 2) << "nothing more is written once a write failed";
}

}  // namespace
}  // namespace recall_mesh::persist
