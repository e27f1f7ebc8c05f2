// Save against load of the benchmark workload's document, side by side in one process, and
// the memory a load takes beyond the graph it makes. A C++ program, so that a profiler sees
// the reader's own frames.
// Usage: bench_load_parts WORKLOAD_FILE DOCUMENT_PATH [REPS]   save, then load, REPS times
//        bench_load_parts - DOCUMENT_PATH                      one load in a fresh process:
//                                                              its time and peak memory
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "persist/document.h"
#include "workload_file.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The resident set's current size and its peak since the last reset, in bytes.
std::size_t status_bytes(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0) return std::stoull(line.substr(n + 1)) * 1024;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace recall_mesh;
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s WORKLOAD_FILE DOCUMENT_PATH [REPS]\n", argv[0]);
    return 2;
  }
  if (std::strcmp(argv[1], "-") == 0) {
    // Nothing else has run, so the peak above the start is the load's alone, and what stays
    // after it is the graph's own.
    const std::size_t base = status_bytes("VmRSS:");
    const auto start = Clock::now();
    auto loaded = persist::load_from_json(argv[2]);
    const double s = seconds_since(start);
    if (auto* e = std::get_if<persist::Error>(&loaded)) {
      std::fprintf(stderr, "load: %s\n", e->message.c_str());
      return 1;
    }
    const double graph = static_cast<double>(status_bytes("VmRSS:") - base);
    const double peak = static_cast<double>(status_bytes("VmHWM:") - base);
    std::printf("load %.3f s  graph %.0f MB  peak %.0f MB = %.2f x the graph\n", s, graph / 1e6,
                peak / 1e6, peak / graph);
    return 0;
  }
  const int reps = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::size_t before_build = status_bytes("VmRSS:");
  store::AdjacencyMap adj;
  {
    const bench::Workload w = bench::read_workload(argv[1]);
    bench::build(adj, w);
  }
  const std::size_t graph_bytes = status_bytes("VmRSS:") - before_build;

  std::vector<double> save_s, load_s;
  for (int r = 0; r < reps; ++r) {
    auto start = Clock::now();
    if (auto e = persist::save_to_json(adj, argv[2])) {
      std::fprintf(stderr, "save: %s\n", e->message.c_str());
      return 1;
    }
    save_s.push_back(seconds_since(start));

    start = Clock::now();
    auto loaded = persist::load_from_json(argv[2]);
    load_s.push_back(seconds_since(start));
    if (auto* e = std::get_if<persist::Error>(&loaded)) {
      std::fprintf(stderr, "load: %s\n", e->message.c_str());
      return 1;
    }
    if (std::get<store::AdjacencyMap>(loaded).edge_count() != adj.edge_count()) return 1;
  }
  struct stat st {};
  ::stat(argv[2], &st);
  const double mb = static_cast<double>(st.st_size) / 1e6;
  std::printf("entries %zu  document %.0f MB  graph %.0f MB (RSS growth while building)\n",
              adj.edge_count(), mb, static_cast<double>(graph_bytes) / 1e6);
  std::printf("save median %.3f s (%.0f MB/s)\n", median(save_s), mb / median(save_s));
  std::printf("load median %.3f s (%.0f MB/s)  load/save %.2f\n", median(load_s),
              mb / median(load_s), median(load_s) / median(save_s));
  return 0;
}
