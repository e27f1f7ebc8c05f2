#include "document_reader.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(DocumentReader, SyntaxErrorsWithPositions) {
  struct Case {
    std::string text;
    const char* detail;
  };
  std::string deep(129, '[');
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 1"},
      {" \n\t", "EOF while parsing a value at line 2 column 2"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"{}\n\n  {}", "trailing characters at line 3 column 3"},
      {std::string("{}\0", 3), "trailing characters at line 1 column 3"},
      {"{}{}", "trailing characters at line 1 column 3"},
      {R"({"a":1,})", "key must be a string at line 1 column 8"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[1,]", "expected value at line 1 column 4"},
      {R"({"a" 1})", "expected `:` at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {"[NaN]", "expected value at line 1 column 2"},
      {"[Infinity]", "expected value at line 1 column 2"},
      {"[-Infinity]", "expected value at line 1 column 3"},
      {"// note\n{}", "expected value at line 1 column 1"},
      {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
      {"[01]", "expected `,` or `]` at line 1 column 3"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"[1e]", "invalid number at line 1 column 4"},
      {"[1e400]", "number out of range at line 1 column 2"},
      {"[\n -1.8e308]", "number out of range at line 2 column 2"},
      {R"({"a":1)", "EOF while parsing an object at line 1 column 7"},
      {"{", "EOF while parsing an object at line 1 column 2"},
      {"[1", "EOF while parsing a list at line 1 column 3"},
      {R"("abc)", "EOF while parsing a string at line 1 column 5"},
      {"\"a\x01\"",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"a\0\"", 4),
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\xff\"", "invalid UTF-8 in string at line 1 column 2"},
      {"\"\xed\xa0\x80\"", "invalid UTF-8 in string at line 1 column 2"},
      {"\"\xc0\xaf\"", "invalid UTF-8 in string at line 1 column 2"},
      // The bad sequence swallows the line breaks after it; its position is still before them.
      {"[\"a\xe2\n\nb\"]", "invalid UTF-8 in string at line 1 column 4"},
      {R"("\x")", "invalid escape at line 1 column 2"},
      {R"("\u12G4")", "invalid escape at line 1 column 2"},
      {R"("\ud800")", "lone leading surrogate in hex escape at line 1 column 2"},
      {R"("\ud800\u0041")", "lone leading surrogate in hex escape at line 1 column 2"},
      {R"(["x", "\udc00"])", "lone trailing surrogate in hex escape at line 1 column 15"},
      {R"({"\udfff":1})", "lone trailing surrogate in hex escape at line 1 column 10"},
      {deep, "recursion limit exceeded at line 1 column 129"},
      {"{\n \"adj\": [1,\n  2,,]}", "expected value at line 3 column 5"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(c.text), std::string("Failed to load graph: ") + c.detail) << c.text;
    EXPECT_EQ(kind_of(c.text), ErrorKind::kLoad);
  }
}

TEST(DocumentReader, NestingUpTo128IsAllowed) {
  const std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_EQ(outcome(deep), "Failed to parse legacy graph: invalid type: sequence, expected a map");
  // The limit counts values nobody converts as well.
  std::string ignored = R"({"adj":{},"x":)" + std::string(127, '[') + std::string(127, ']') + "}";
  EXPECT_EQ(outcome(ignored), R"({"graph":{"adj":{}},"version":2})");
}

TEST(DocumentReader, SyntaxErrorsOutrankEverythingElse) {
  EXPECT_EQ(outcome(R"({"graph":5,"version":3,})"),
            "Failed to load graph: key must be a string at line 1 column 24");
  EXPECT_EQ(outcome(R"({"graph":5,"version":2} 1)"),
            "Failed to load graph: trailing characters at line 1 column 25");
}

TEST(DocumentReader, VersionsAndForms) {
  const std::string empty = R"({"graph":{"adj":{}},"version":2})";
  struct Case {
    std::string text;
    std::string result;
  };
  const Case cases[] = {
      {empty, empty},
      {R"({"graph":{"adj":{}},"version":0})", empty},
      {R"({"version":1,"graph":{"adj":{"x":{}}}})", R"({"graph":{"adj":{"x":{}}},"version":2})"},
      {R"({"adj":{}})", empty},
      {R"([{}])", empty},
      {R"({"graph":[{}],"version":2})", empty},
      {R"({"graph":{"adj":{},"other":[1,{"x":null}]},"version":2,"extra":true})", empty},
      {R"({"graph":{"adj":{}},"version":3})", "Graph v3 is newer than engine v2. Please update."},
      {R"({"graph":5,"version":3})", "Graph v3 is newer than engine v2. Please update."},
      {R"({"version":4294967298})", "Graph v4294967298 is newer than engine v2. Please update."},
      {R"({"version":4294967296,"graph":{"adj":{}}})",
       "Graph v4294967296 is newer than engine v2. Please update."},
      {R"({"version":18446744073709551615})",
       "Graph v18446744073709551615 is newer than engine v2. Please update."},
      // Versions that are not non-negative integers make a legacy document.
      {R"({"graph":{"adj":{}},"version":"2"})",
       "Failed to parse legacy graph: missing field `adj`"},
      {R"({"graph":{"adj":{}},"version":2.0})",
       "Failed to parse legacy graph: missing field `adj`"},
      {R"({"graph":{"adj":{}},"version":-1})", "Failed to parse legacy graph: missing field `adj`"},
      {R"({"graph":{"adj":{}},"version":-0})", "Failed to parse legacy graph: missing field `adj`"},
      {R"({"graph":{"adj":{}},"version":[2]})",
       "Failed to parse legacy graph: missing field `adj`"},
      {R"({"graph":{"adj":{}},"version":18446744073709551616})",
       "Failed to parse legacy graph: missing field `adj`"},
      {R"({"adj":{"l":{}},"graph":{"adj":{"v":{}}},"version":null})",
       R"({"graph":{"adj":{"l":{}}},"version":2})"},
      {R"({"adj":{"l":{}},"graph":{"adj":{"v":{}}},"version":2})",
       R"({"graph":{"adj":{"v":{}}},"version":2})"},
      // The last of repeated members counts.
      {R"({"version":7,"graph":{"adj":{}},"version":2})", empty},
      {R"({"version":2,"graph":{"adj":{}},"version":"2"})",
       "Failed to parse legacy graph: missing field `adj`"},
      {R"({"graph":5,"graph":{"adj":{"x":{}}},"version":2})",
       R"({"graph":{"adj":{"x":{}}},"version":2})"},
      {R"({"graph":{"adj":{"x":{}}},"graph":{"adj":{"y":{}}},"version":2})",
       R"({"graph":{"adj":{"y":{}}},"version":2})"},
      {R"({"graph":{"adj":{"x":{}},"adj":{"y":{}}},"version":2})",
       R"({"graph":{"adj":{"y":{}}},"version":2})"},
      {R"({"graph":{"adj":{"x":{}}},"graph":null,"version":2})",
       "Failed to parse graph: invalid type: null, expected struct LeanMemoryGraph"},
      // Graph values that do not convert.
      {R"({"version":2})",
       "Failed to parse graph: invalid type: null, expected struct LeanMemoryGraph"},
      {R"({"graph":null,"version":2})",
       "Failed to parse graph: invalid type: null, expected struct LeanMemoryGraph"},
      {R"({"graph":5,"version":2})",
       "Failed to parse graph: invalid type: integer `5`, expected struct LeanMemoryGraph"},
      {R"({"graph":{},"version":2})", "Failed to parse graph: missing field `adj`"},
      {R"({"graph":[],"version":2})",
       "Failed to parse graph: invalid length 0, expected struct LeanMemoryGraph with 1 element"},
      {R"({"graph":[{},{}],"version":2})",
       "Failed to parse graph: invalid length 2, expected fewer elements in array"},
      {R"({"graph":[5,{}],"version":2})",
       "Failed to parse graph: invalid type: integer `5`, expected a map"},
      {R"({"graph":{"adj":[]},"version":2})",
       "Failed to parse graph: invalid type: sequence, expected a map"},
      {R"({})", "Failed to parse legacy graph: missing field `adj`"},
      {R"([])",
       "Failed to parse legacy graph: invalid length 0, expected struct LeanMemoryGraph with 1 "
       "element"},
      {"-5",
       "Failed to parse legacy graph: invalid type: integer `-5`, expected struct LeanMemoryGraph"},
      {"2.50",
       "Failed to parse legacy graph: invalid type: floating point `2.5`, expected struct "
       "LeanMemoryGraph"},
      {"true",
       "Failed to parse legacy graph: invalid type: boolean `true`, expected struct "
       "LeanMemoryGraph"},
      {R"( "a\"\n" )",
       "Failed to parse legacy graph: invalid type: string \"a\\\"\\n\", "
       "expected struct LeanMemoryGraph"},
      {R"({"adj":{"a":5}})",
       "Failed to parse legacy graph: invalid type: integer `5`, expected a map"},
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(c.text), c.result) << c.text;
  EXPECT_EQ(kind_of(R"({"graph":5,"version":3})"), ErrorKind::kTooNew);
  EXPECT_EQ(kind_of(R"({"graph":5,"version":2})"), ErrorKind::kParseGraph);
  EXPECT_EQ(kind_of("5"), ErrorKind::kParseLegacy);
}

}  // namespace
}  // namespace recall_mesh::persist
