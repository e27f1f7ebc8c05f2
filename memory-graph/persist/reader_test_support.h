// What the reader's tests share: the outcome of reading a text, a versioned document
// around an adjacency text, and an edge object to vary one member at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "byte_source.h"
#include "document.h"
#include "document_reader.h"

namespace recall_mesh::persist::reader_test {

using store::AdjacencyMap;

// Reads `text` whole and in small pieces; every way must give the same outcome, which is
// returned as the error message or as the document the loaded store writes.
inline std::string outcome(std::string_view text) {
  std::string first;
  for (const std::size_t piece : {SIZE_MAX, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
    MemorySource source(text, piece);
    auto result = read_document(source);
    const std::string got = std::holds_alternative<Error>(result)
                                ? std::get<Error>(result).message
                                : document_text(std::get<AdjacencyMap>(result));
    if (piece == SIZE_MAX) {
      first = got;
    } else {
      EXPECT_EQ(got, first) << "pieces of " << piece << " for " << text;
    }
  }
  return first;
}

inline AdjacencyMap load(std::string_view text) {
  MemorySource source(text);
  auto result = read_document(source);
  if (auto* e = std::get_if<Error>(&result)) {
    ADD_FAILURE() << e->message;
    return AdjacencyMap();
  }
  return std::move(std::get<AdjacencyMap>(result));
}

inline ErrorKind kind_of(std::string_view text) {
  MemorySource source(text);
  auto result = read_document(source);
  return std::holds_alternative<Error>(result) ? std::get<Error>(result).kind : ErrorKind::kOpen;
}

inline std::string versioned(std::string_view adj) {
  std::string text = R"({"graph":{"adj":)";
  return text.append(adj).append(R"(},"version":2})");
}

// An edge object with every member valid; set() and erase() change one member.
class EdgeJson {
 public:
  EdgeJson& set(const std::string& key, const std::string& value) {
    members_[key] = value;
    return *this;
  }
  EdgeJson& erase(const std::string& key) {
    members_.erase(key);
    return *this;
  }
  std::string str() const {
    std::string out = "{";
    for (const auto& [k, v] : members_) {
      if (out.size() > 1) out += ',';
      out.append("\"").append(k).append("\":").append(v);
    }
    return out + "}";
  }
  // The whole document with this edge as a -> b.
  std::string doc() const {
    std::string adj = R"({"a":{"b":)";
    return versioned(adj.append(str()).append("}}"));
  }

 private:
  std::map<std::string, std::string> members_ = {
      {"created_at", "1"},        {"decay_resistance", "1.5"}, {"is_landmark", "false"},
      {"last_strengthened", "2"}, {"latency_tier", "3"},       {"project_id", "\"p\""},
      {"retrieval_count", "4"},   {"salience", "0.25"},        {"useful_count", "5"},
      {"weight", "0.75"}};
};

}  // namespace recall_mesh::persist::reader_test
