#include "canonical_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document.h"
#include "document_reader.h"
#include "store/graph_ops.h"

namespace recall_mesh::persist {
namespace {

using store::AdjacencyMap;

std::string outcome_of(std::variant<AdjacencyMap, Error>& result) {
  if (const Error* e = std::get_if<Error>(&result)) return "error: " + e->message;
  return document_text(std::get<AdjacencyMap>(result));
}

// The outcome of the whole reader, checked against the general reader alone (a source
// that cannot be read twice) for several piece sizes.
std::string read_both_ways(std::string_view text) {
  MemorySource once(text, SIZE_MAX, false);
  auto general = read_document(once);
  const std::string expected = outcome_of(general);
  for (const std::size_t piece : {SIZE_MAX, std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
    MemorySource source(text, piece);
    auto result = read_document(source);
    EXPECT_EQ(outcome_of(result), expected) << "pieces of " << piece << " for " << text;
  }
  return expected;
}

bool fast_reader_takes(std::string_view text, std::size_t piece = SIZE_MAX) {
  MemorySource source(text, piece);
  return read_canonical(source).has_value();
}

constexpr std::string_view kEntry =
    R"({"created_at":100,"decay_resistance":1.100000023841858,"is_landmark":false,)"
    R"("last_strengthened":0,"latency_tier":0,"project_id":"p","retrieval_count":0,)"
    R"("salience":0.5,"useful_count":0,"weight":0.699999988079071})";

std::string doc(std::string_view adj) {
  return std::string(R"({"graph":{"adj":)").append(adj).append(R"(},"version":2})");
}

std::string with(std::string_view from, std::string_view to) {
  std::string entry(kEntry);
  entry.replace(entry.find(from), from.size(), to);
  return doc(std::string(R"({"a":{"b":)") + entry + "}}");
}

TEST(CanonicalReader, TakesWhatTheWriterWrites) {
  AdjacencyMap adj;
  store::add_association(adj, "q\"\\\b\f\n\r\t\x1f\xc3\xa9", std::string("\0x", 2), "Global", 0.3f,
                         5, 0.9f, true);
  store::add_association(adj, "a", "b", "p", 0.5f, 0, 0.5f, false);
  store::add_association(adj, "a", "c", "q", 0.5f, 0, 0.5f, false);
  adj.add_concept("lonely");
  adj.find_edge("a", "b")->weight = std::numeric_limits<float>::quiet_NaN();
  const std::string text = document_text(adj);
  for (const std::size_t piece : {SIZE_MAX, std::size_t{1}, std::size_t{7}}) {
    EXPECT_TRUE(fast_reader_takes(text, piece)) << text;
  }
  EXPECT_EQ(read_both_ways(text), text);
  // Blanks around the document, such as an editor's final line break, keep it on the fast
  // path; the general reader accepts them too.
  const std::string framed = " \n" + text + "\r\n\t";
  EXPECT_TRUE(fast_reader_takes(framed, 1));
  EXPECT_EQ(read_both_ways(framed), text);
  EXPECT_TRUE(fast_reader_takes(doc("{}")));
  EXPECT_TRUE(fast_reader_takes(doc(R"({"a":{}})")));
}

// Everything the writer never writes is left to the general reader, so the outcome is the
// general reader's: the same graph, or the same error at the same place.
TEST(CanonicalReader, LeavesEverythingElseToTheGeneralReader) {
  const std::string entry(kEntry);
  const std::vector<std::string> others = {
      doc(R"({"a":{"b":)" + entry + "}}") + " ",
      doc(R"({"a":{"b":)" + entry + "}}") + "x",
      doc(R"({"a":{"b":)" + entry + "}}").substr(0, 120),
      doc(R"( {"a":{"b":)" + entry + "}}"),
      doc(R"({"b":{},"a":{}})"),
      doc(R"({"a":{},"a":{"b":)" + entry + "}}"),
      doc(R"({"a":{"c":)" + entry + R"(,"b":)" + entry + "}}"),
      doc(R"({"a":{"b":)" + entry + R"(,"b":)" + entry + "}}"),
      doc(R"({"a\/":{}})"),
      doc(R"({"\u001F":{}})"),
      doc(R"({"\u0041":{}})"),
      doc(R"({"\ud83d\ude00":{}})"),
      doc("{\"\xc0\xaf\":{}}"),
      doc("{\"\xed\xa0\x80\":{}}"),
      doc("{\"\xf4\x90\x80\x80\":{}}"),
      doc("{\"a\x01\":{}}"),
      with("\"latency_tier\":0", "\"latency_tier\":256"),
      with("\"latency_tier\":0", "\"latency_tier\":-0"),
      with("\"retrieval_count\":0", "\"retrieval_count\":4294967296"),
      with("\"created_at\":100", "\"created_at\":18446744073709551616"),
      with("\"created_at\":100", "\"created_at\":100.0"),
      with("\"created_at\":100", "\"created_at\":0100"),
      with("\"weight\":0.699999988079071", "\"weight\":1e400"),
      with("\"weight\":0.699999988079071", "\"weight\":7"),
      with("\"weight\":0.699999988079071", "\"weight\":-0"),
      with("\"weight\":0.699999988079071", "\"weight\":1E+2"),
      with("\"weight\":0.699999988079071", "\"weight\":.5"),
      with("\"weight\":0.699999988079071", "\"weight\":true"),
      with("\"is_landmark\":false", "\"is_landmark\":0"),
      with("\"project_id\":\"p\"", "\"project_id\":null"),
      with("\"salience\":0.5,", ""),
      with("\"useful_count\":0", "\"useful_count\":0,\"extra\":1"),
      R"({"graph":{"adj":{}},"version":1})",
      R"({"graph":{"adj":{}},"version":3})",
      R"({"adj":{}})",
      R"({"graph":{"adj":{}},"version":2,"x":0})",
  };
  for (const std::string& text : others) read_both_ways(text);

  // The number forms the writer does not use still read as the general reader reads them.
  EXPECT_EQ(read_both_ways(with("\"weight\":0.699999988079071", "\"weight\":7")),
            read_both_ways(with("\"weight\":0.699999988079071", "\"weight\":7.0")));
}

TEST(CanonicalReader, LongConceptsAndNamesLongerThanTheBuffer) {
  AdjacencyMap adj;
  for (int i = 0; i < 5000; ++i) {
    store::add_association(adj, "hub", "n" + std::to_string(i), i % 3 ? "p" : "Global", 0.5f,
                           static_cast<std::uint64_t>(i), 0.5f, false);
  }
  store::add_association(adj, std::string(5 << 20, 'x'), "hub", "p", 0.5f, 0, 0.5f, false);
  const std::string text = document_text(adj);
  EXPECT_TRUE(fast_reader_takes(text, std::size_t{1} << 20));
  MemorySource source(text, 100000);
  auto result = read_document(source);
  ASSERT_TRUE(std::holds_alternative<AdjacencyMap>(result));
  const AdjacencyMap& loaded = std::get<AdjacencyMap>(result);
  EXPECT_EQ(loaded.edge_count(), adj.edge_count());
  EXPECT_EQ(loaded.node_count(), adj.node_count());
  EXPECT_EQ(document_text(loaded), text);
}

}  // namespace
}  // namespace recall_mesh::persist
