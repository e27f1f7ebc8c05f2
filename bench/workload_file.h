// Reads the workload file that bench/workload.py writes, so the C++ benchmarks build the
// very graph the Python runner measures. Benchmark-only; nothing in memory-graph/ uses it.
//
// Format: a text header "rmwl1 <concepts> <associations> <projects>\n", one line per
// project id, one line per concept name, then little-endian arrays of length
// <associations>: a (int32), b (int32), project (uint8), weight (float32),
// salience (float32), time (uint64), landmark (uint8).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/graph_ops.h"

namespace recall_mesh::bench {

struct Workload {
  std::string text;  // the text part; names and project ids point into it
  std::vector<std::string_view> projects;
  std::vector<std::string_view> names;
  std::vector<std::int32_t> a;
  std::vector<std::int32_t> b;
  std::vector<std::uint8_t> project;
  std::vector<float> weight;
  std::vector<float> salience;
  std::vector<std::uint64_t> time;
  std::vector<std::uint8_t> landmark;
  std::size_t associations = 0;
};

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "workload file: %s\n", what);
  std::exit(2);
}

inline Workload read_workload(const char* path) {
  Workload w;
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot open");
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::size_t pos = 0;
  std::vector<std::pair<std::size_t, std::size_t>> lines;  // offset and length in `text`
  auto next_line = [&]() {
    const std::size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) fail("truncated text part");
    lines.emplace_back(pos, end - pos);
    pos = end + 1;
  };
  next_line();
  std::istringstream header{bytes.substr(0, lines[0].second)};
  std::string tag;
  std::size_t concepts = 0, projects = 0;
  header >> tag >> concepts >> w.associations >> projects;
  if (tag != "rmwl1") fail("not a workload file");
  for (std::size_t i = 0; i < projects + concepts; ++i) next_line();
  w.text = bytes.substr(0, pos);
  auto view = [&](std::size_t i) {
    return std::string_view(w.text.data() + lines[i].first, lines[i].second);
  };
  for (std::size_t i = 0; i < projects; ++i) w.projects.push_back(view(1 + i));
  w.names.reserve(concepts);
  for (std::size_t i = 0; i < concepts; ++i) w.names.push_back(view(1 + projects + i));

  const std::size_t n = w.associations;
  if (bytes.size() - pos != n * (4 + 4 + 1 + 4 + 4 + 8 + 1)) fail("array part has the wrong size");
  auto take = [&](auto& out) {
    out.resize(n);
    const std::size_t len = n * sizeof(out[0]);
    std::memcpy(out.data(), bytes.data() + pos, len);
    pos += len;
  };
  take(w.a);
  take(w.b);
  take(w.project);
  take(w.weight);
  take(w.salience);
  take(w.time);
  take(w.landmark);
  for (std::size_t i = 0; i < n; ++i) {
    if (static_cast<std::size_t>(w.a[i]) >= concepts ||
        static_cast<std::size_t>(w.b[i]) >= concepts || w.project[i] >= projects) {
      fail("index out of range");
    }
  }
  return w;
}

/// Builds the store with one add_association per association of the workload.
inline void build(store::AdjacencyMap& adj, const Workload& w) {
  for (std::size_t i = 0; i < w.associations; ++i) {
    store::add_association(adj, w.names[static_cast<std::size_t>(w.a[i])],
                           w.names[static_cast<std::size_t>(w.b[i])], w.projects[w.project[i]],
                           w.weight[i], w.time[i], w.salience[i], w.landmark[i] != 0);
  }
}

}  // namespace recall_mesh::bench
