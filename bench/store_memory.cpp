// Bytes per directed entry of the store: builds the workload's graph with add_association
// and counts every byte the allocator hands out meanwhile (interned names, entry blocks,
// id indexes, concept slots), heap and mmap alike.
//
// Usage: bench_store_memory <workload file>   (see bench/workload.py --out)
#include <malloc.h>

#include <chrono>
#include <cstdio>

#include "store/graph_ops.h"
#include "workload_file.h"

namespace {

std::size_t allocated_bytes() {
  const struct mallinfo2 info = mallinfo2();
  // uordblks: bytes in use in the arenas; hblkhd: bytes in chunks served by mmap (large
  // blocks land there, and uordblks alone would miss them).
  return info.uordblks + info.hblkhd;
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
  return 0;
}
