// Bytes per directed entry of the store: builds the workload's graph with add_association
// and counts every byte the allocator hands out meanwhile (interned names, entry blocks,
// id indexes, concept slots), heap and mmap alike.
//
// Then times the store alone on existing pairs drawn at random, as the per-call rows of
// the Python runner draw them: what a call costs before any Python is involved.
//
// Usage: bench_store_memory <workload file>   (see bench/workload.py --out)
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "store/graph_ops.h"
#include "workload_file.h"

namespace {

std::size_t allocated_bytes() {
  const struct mallinfo2 info = mallinfo2();
  // uordblks: bytes in use in the arenas; hblkhd: bytes in chunks served by mmap (large
  // blocks land there, and uordblks alone would miss them).
  return info.uordblks + info.hblkhd;
}

// Median ns per call of op(i) over `loops` loops of `calls` random associations i.
template <class Op>
double median_ns_per_call(std::size_t associations, Op op) {
  constexpr int kLoops = 7;
  constexpr std::size_t kCalls = 100'000;
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, associations - 1);
  std::vector<double> loops;
  std::vector<std::size_t> order(kCalls);
  for (int l = 0; l < kLoops; ++l) {
    for (std::size_t& i : order) i = pick(rng);
    const auto start = std::chrono::steady_clock::now();
    for (const std::size_t i : order) op(i);
    const auto stop = std::chrono::steady_clock::now();
    loops.push_back(std::chrono::duration<double, std::nano>(stop - start).count() /
                    static_cast<double>(kCalls));
  }
  std::sort(loops.begin(), loops.end());
  return loops[loops.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <workload file>\n", argv[0]);
    return 2;
  }
  const recall_mesh::bench::Workload w = recall_mesh::bench::read_workload(argv[1]);

  const std::size_t before = allocated_bytes();
  const auto start = std::chrono::steady_clock::now();
  recall_mesh::store::AdjacencyMap adj;
  recall_mesh::bench::build(adj, w);
  const auto stop = std::chrono::steady_clock::now();
  const std::size_t after = allocated_bytes();

  const std::size_t bytes = after - before;
  const std::size_t entries = adj.edge_count();
  const double seconds = std::chrono::duration<double>(stop - start).count();
  std::printf("concepts %zu\n", adj.node_count());
  std::printf("entries %zu\n", entries);
  std::printf("store_bytes %zu\n", bytes);
  std::printf("bytes_per_entry %.2f\n", static_cast<double>(bytes) / static_cast<double>(entries));
  std::printf("arena_bytes %zu\narena_free_bytes %zu\n", adj.arena().bytes_held(),
              adj.arena().bytes_free());
  std::printf("build_seconds %.3f\n", seconds);
  std::printf("build_ns_per_association %.1f\n",
              seconds * 1e9 / static_cast<double>(w.associations));

  // Existing pairs at random, as from Python: the store's own cost of one call. The
  // association keeps its weight (a repeated add only reinforces) and feedback alternates.
  const auto name = [&](std::int32_t k) { return w.names[static_cast<std::size_t>(k)]; };
  const double add_ns = median_ns_per_call(w.associations, [&](std::size_t i) {
    recall_mesh::store::add_association(adj, name(w.a[i]), name(w.b[i]), w.projects[w.project[i]],
                                        w.weight[i], w.time[i], w.salience[i], false);
  });
  std::uint64_t now = 1'900'000'000;
  const double feedback_ns = median_ns_per_call(w.associations, [&](std::size_t i) {
    now += 4000;
    recall_mesh::store::record_feedback(adj, name(w.a[i]), name(w.b[i]), (i & 1) != 0, now);
  });
  std::printf("existing_pair_add_ns %.1f\n", add_ns);
  std::printf("existing_pair_feedback_ns %.1f\n", feedback_ns);
  return 0;
}
