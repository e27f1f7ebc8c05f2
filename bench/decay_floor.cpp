// The floor under decay_and_prune: the same decay arithmetic applied by a plain loop to
// the same entries laid out in one flat array (removing dead ones in place), timed against
// store::decay_and_prune on the store built from the same workload. Both sides run the
// same sequence of passes, so each pass sees identical values on both.
//
// Usage: bench_decay_floor <workload file> [passes] [decay_rate]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "store/edge_steps.h"
#include "store/graph_ops.h"
#include "workload_file.h"

namespace {

using recall_mesh::store::MemoryEdge;

// The compact record a hand-written decay loop would keep: 16 bytes.
struct CompactEdge {
  float weight;
  float decay_resistance;
  float salience;
  std::uint8_t latency_tier;
  bool is_landmark;
};

// One decay pass written out in place; the arithmetic is that of store::decay_step.
template <class Edge>
std::size_t floor_pass(std::vector<Edge>& edges, float rate) {
  std::size_t kept = 0;
  const std::size_t n = edges.size();
  for (std::size_t i = 0; i < n; ++i) {
    Edge e = edges[i];
    if (!e.is_landmark) {
      const float s = e.salience > 0.1f ? e.salience : 0.1f;
      const float d = rate / (s * e.decay_resistance);
      const float w = e.weight - d;
      e.weight = w > 0.0f ? w : 0.0f;
      if (e.weight < 0.1f && e.latency_tier < 10) e.latency_tier++;
      if (!(e.weight > 0.0f) && e.latency_tier >= 10) continue;
    }
    edges[kept++] = e;
  }
  edges.resize(kept);
  return n - kept;
}

// The decay arithmetic inline over the store's per-concept blocks, concept by concept in
// id order, without removal (a pass at this rate kills nothing): what the store's walk in
// address order saves. With `ahead` > 0 the entries of a concept that many places on are
// prefetched.
std::size_t walk_pass(std::span<const std::span<MemoryEdge>> concepts, float rate,
                      std::size_t ahead) {
  std::size_t dead = 0;
  const std::size_t n = concepts.size();
  for (std::size_t c = 0; c < n; ++c) {
    if (ahead != 0 && c + ahead < n) {
      const std::span<MemoryEdge> next = concepts[c + ahead];
      __builtin_prefetch(next.data());
      if (next.size() > 1) __builtin_prefetch(next.data() + next.size() - 1);
    }
    for (MemoryEdge& e : concepts[c]) {
      if (e.is_landmark) continue;
      const float s = e.salience > 0.1f ? e.salience : 0.1f;
      const float w = e.weight - rate / (s * e.decay_resistance);
      e.weight = w > 0.0f ? w : 0.0f;
      if (e.weight < 0.1f && e.latency_tier < 10) e.latency_tier++;
      if (!(e.weight > 0.0f) && e.latency_tier >= 10) ++dead;
    }
  }
  return dead;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <class F>
double time_ns(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(stop - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <workload file> [passes] [decay_rate]\n", argv[0]);
    return 2;
  }
  const int passes = argc > 2 ? std::atoi(argv[2]) : 7;
  const float rate = argc > 3 ? std::strtof(argv[3], nullptr) : 0.002f;
  const recall_mesh::bench::Workload w = recall_mesh::bench::read_workload(argv[1]);

  recall_mesh::store::AdjacencyMap adj;
  recall_mesh::bench::build(adj, w);
  std::vector<MemoryEdge> flat;
  flat.reserve(adj.edge_count());
  adj.for_each_concept([&](recall_mesh::store::NameId, const recall_mesh::store::NeighbourMap& m) {
    for (const MemoryEdge& e : m.entries()) flat.push_back(e);
  });
  std::vector<CompactEdge> compact;
  compact.reserve(flat.size());
  for (const MemoryEdge& e : flat) {
    compact.push_back({e.weight, e.decay_resistance, e.salience, e.latency_tier, e.is_landmark});
  }
  const std::size_t entries = flat.size();
  // Two more stores for the layout experiment; they see the same passes.
  recall_mesh::store::AdjacencyMap walked, prefetched;
  recall_mesh::bench::build(walked, w);
  recall_mesh::bench::build(prefetched, w);
  auto spans_of = [](recall_mesh::store::AdjacencyMap& store) {
    std::vector<std::span<MemoryEdge>> spans;
    store.for_each_concept([&](recall_mesh::store::NameId, recall_mesh::store::NeighbourMap& m) {
      spans.push_back(m.entries());
    });
    return spans;
  };
  const auto walked_spans = spans_of(walked);
  const auto prefetched_spans = spans_of(prefetched);

  std::vector<double> store_ns, floor_ns, compact_ns, walk_ns, prefetch_ns;
  std::size_t store_removed = 0, floor_removed = 0, compact_removed = 0, walk_dead = 0;
  for (int p = 0; p < passes; ++p) {
    walk_ns.push_back(time_ns([&] { walk_dead += walk_pass(walked_spans, rate, 0); }));
    prefetch_ns.push_back(time_ns([&] { walk_dead += walk_pass(prefetched_spans, rate, 4); }));
    store_ns.push_back(
        time_ns([&] { store_removed += recall_mesh::store::decay_and_prune(adj, rate); }));
    floor_ns.push_back(time_ns([&] { floor_removed += floor_pass(flat, rate); }));
    compact_ns.push_back(time_ns([&] { compact_removed += floor_pass(compact, rate); }));
  }
  if (store_removed != floor_removed || floor_removed != compact_removed) {
    std::fprintf(stderr, "the loops disagree: removed %zu, %zu, %zu\n", store_removed,
                 floor_removed, compact_removed);
    return 1;
  }
  const double s = median(store_ns), f = median(floor_ns), c = median(compact_ns);
  const double n = static_cast<double>(entries);
  std::printf("entries %zu\npasses %d\ndecay_rate %g\nremoved %zu\n", entries, passes,
              static_cast<double>(rate), store_removed);
  std::printf("store_ms %.3f\nfloor_ms %.3f\ncompact_floor_ms %.3f\n", s / 1e6, f / 1e6, c / 1e6);
  std::printf("store_ns_per_entry %.3f\nfloor_ns_per_entry %.3f\ncompact_floor_ns_per_entry %.3f\n",
              s / n, f / n, c / n);
  std::printf("store_over_floor %.2f\nstore_over_compact_floor %.2f\n", s / f, s / c);
  // Dead entries stay in the walked stores, so their figures hold only while none die.
  std::printf("walk_dead %zu\nstore_layout_inline_ms %.3f\nstore_layout_prefetch_ms %.3f\n",
              walk_dead, median(walk_ns) / 1e6, median(prefetch_ns) / 1e6);
  return 0;
}
